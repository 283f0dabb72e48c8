// Special functions and conversions between test statistics and tail probabilities.
//
// Conventions for this family:
//  * Arguments and results are float unless a declaration says double; degrees of
//    freedom and numbers of observations are unsigned long.
//  * Several routines work internally in double; the source states, step by step,
//    which quantities are double and where a value is rounded to float, because the
//    results are reproduced to the last bit.
//  * No state is kept between calls. Conditions that cannot be recovered from (an
//    argument outside the domain, an iteration limit) end the process through vcerror;
//    nothing returns an error code.
#pragma once

// ln Gamma(x) for x > 0 (not checked) by a six-term Lanczos series, all in double.
double gammln(double x);

// Regularised lower incomplete gamma P(a, x) by its power series. *ln_gamma_a always
// receives ln Gamma(a) rounded to float. x = 0 gives 0 and a NaN argument NaN; x < 0,
// or no convergence in 100 terms (a too large for the series, or a = +-Inf), ends the
// process through vcerror.
void gser(float* result, float a, float x, float* ln_gamma_a);

// Regularised upper incomplete gamma Q(a, x) by its continued fraction (modified
// Lentz). *ln_gamma_a receives ln Gamma(a) rounded to float. A NaN argument gives NaN;
// no convergence in 100 steps (including infinite arguments) ends the process through
// vcerror.
void gcf(float* result, float a, float x, float* ln_gamma_a);

// Q(a, x) = 1 - P(a, x) for a > 0, x >= 0: the series below x = a + 1, the continued
// fraction above. A NaN argument gives NaN and x = +Inf gives 0; a <= 0 or x < 0 ends
// the process through vcerror ("Invalid arguments in routine gammq"), and so does an a
// too large for the series (from gser).
float gammq(float a, float x);

// Continued fraction of the incomplete beta function (modified Lentz, double
// precision). Returns its current value after 100 steps without reporting.
float betacf(double a, double b, double x);

// Regularised incomplete beta function I_x(a, b); 0 for x outside [0, 1].
float betai(float a, float b, float x);

// erfc(x) by a rational approximation with relative error below 1.2e-7.
float erfcc(float x);

// Kolmogorov-Smirnov tail Q_KS(lambda) = 2 sum_{j>=1} (-1)^(j-1) exp(-2 j^2 lambda^2);
// 1.0 when the alternating series has not settled after 100 terms (small lambda).
float probks(float lambda);

// sqrt(-4 ln(1 - p)) for p in [0, 1], with p = 1 replaced by 0.9999999. This is the
// library's own z transform, not the normal quantile: p_to_z(0.5) is about 1.665.
float p_to_z(float p);

// Upper-tail probability of F with df1 numerator and df2 denominator degrees of
// freedom; 0 for F < 0.
float F_to_p(float F, unsigned long df1, unsigned long df2);

// Two-sided probability of reaching |t| with df degrees of freedom.
float t_to_p(float t, unsigned long df);

// Two-sided probability of a correlation r from n observations: 1.0 for n < 2 or
// r = 0, 0.0 for r = 1; NaN for n = 2 (no degrees of freedom) and for |r| > 1.
float r_to_p(float r, unsigned long n);

// Inverses of the three conversions above by a fixed 25-move bisection-like walk from
// a fixed start and stride (F from 10 by 2, t from 4 by 2, r from 0.4 by 0.2). There is
// no tolerance test: a probability the walk cannot reach leaves it at a bound (p = 0
// gives F = 60, t = 54, r about 5.4).
float p_to_F(float p, unsigned long df1, unsigned long df2);
float p_to_t(float p, unsigned long df);
float p_to_r(float p, unsigned long n);
