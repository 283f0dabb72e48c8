// Special functions and probability conversions.
//
// Conventions: arguments and results are float, degrees of freedom unsigned long.
// Arithmetic is single precision except where a comment says a step is evaluated in
// double; such steps widen their operands with static_cast<double> and round the
// stored result with static_cast<float>, so that the compiler cannot pick another
// precision and the results are the same to the last bit on every build. Fatal
// conditions end the process through vcerror (numerics/arrays.h).
#include "numerics/special_functions.h"

#include <cmath>
#include <limits>

#include "numerics/arrays.h"

namespace {

// Lanczos approximation of ln Gamma (six terms, shift 5.5).
constexpr double kLanczosCoefficients[6] = {76.18009172947146,    -86.50532032941678,
                                            24.01409824083091,    -1.231739572450155,
                                            0.001208650973866179, -5.395239384953e-06};
constexpr double kLanczosSeriesStart = 1.000000000190015;
constexpr double kLanczosShift = 5.5;
constexpr double kSqrtTwoPi = 2.5066282746310007;

// Shared by the series and continued fractions of the incomplete gamma and beta
// functions.
constexpr int kMaxIterations = 100;
constexpr double kRelativeTolerance = 3.0e-7;
constexpr float kTinyFloat = 1.0e-30f;   // keeps Lentz denominators off zero (float)
constexpr double kTinyDouble = 1.0e-30;  // the same floor for the double-precision fraction
constexpr float kHugeFloat = 1.0e30f;    // Lentz start for c, standing in for infinity

// Coefficients of the erfc approximation: the constant term first, then the
// polynomial in t from degree 1 up.
constexpr double kErfcConstant = 1.26551223;
constexpr double kErfcPolynomial[9] = {1.00002368,  0.37409196,  0.09678418,
                                       -0.18628806, 0.27886807,  -1.13520398,
                                       1.48851587,  -0.82215223, 0.17087277};

// The Kolmogorov-Smirnov series stops when a term is small against the previous term
// or against the partial sum.
constexpr int kMaxKsTerms = 100;
constexpr double kKsTermRatio = 0.001;
constexpr double kKsSumRatio = 1.0e-8;

// p = 1 would put ln 0 into p_to_z; the largest float below 1 stands in for it.
constexpr float kLargestProbability = 0.9999999f;

// The inverse conversions walk a fixed number of steps and stop, converged or not.
constexpr int kInverseSearchSteps = 25;

// Guards the correlation-to-t transform against division by zero at r = +-1.
constexpr double kCorrelationGuard = 1.0e-20;

// Lentz floor on a single-precision denominator.
float floorTiny(float v) { return std::fabs(v) < kTinyFloat ? kTinyFloat : v; }
double floorTiny(double v) { return std::fabs(v) < kTinyDouble ? kTinyDouble : v; }

// exp(-x + a ln x - ln_gamma_a), the common prefactor of P and Q, in double with the
// float ln Gamma(a) that gser and gcf have stored.
double gammaPrefactor(float a, float x, float ln_gamma_a) {
  const double xd = static_cast<double>(x);
  return std::exp(-xd + static_cast<double>(a) * std::log(xd) - static_cast<double>(ln_gamma_a));
}

// Walks the statistic v towards the point where forward(v) = p, assuming that the
// forward conversion falls as v grows. The step is halved at every change of
// direction; a NaN from the forward conversion counts as "p not above it", so the walk
// keeps going up. Always 25 steps, all in single precision.
template <typename Forward>
float invertBySearch(float p, float v, float step, Forward forward) {
  bool moving_up = true;
  for (int i = 0; i < kInverseSearchSteps; ++i) {
    const float q = forward(v);
    if (p > q) {
      v = v - step;
      if (moving_up) step = step / 2.0f;
      moving_up = false;
    } else {
      v = v + step;
      if (!moving_up) step = step / 2.0f;
      moving_up = true;
    }
  }
  return v;
}

// The two-sided t-distribution tail through the incomplete beta function, shared by
// t_to_p and r_to_p.
float tTail(float t, float df) { return betai(0.5f * df, 0.5f, df / (t * t + df)); }

}  // namespace

// ln Gamma(x) = ln(sqrt(2 pi) * series / x) - (x + 5.5 - (x + 0.5) ln(x + 5.5)), where
// series = c0 + sum_j c_j / (x + j). Entirely double; x <= 0 is not checked.
double gammln(double x) {
  double u = x + kLanczosShift;
  u = u - (x + 0.5) * std::log(u);
  double series = kLanczosSeriesStart;
  double y = x;
  for (double c : kLanczosCoefficients) {
    y = y + 1.0;
    series = series + c / y;
  }
  return std::log(kSqrtTwoPi * series / x) - u;
}

// P(a, x) = e^-x x^a / Gamma(a) * sum_n x^n / (a (a+1) ... (a+n)). The series converges
// for every x but slowly for x much larger than a; gammq only uses it below a + 1.
// Stops when a term drops below 3e-7 of the sum (compared in double).
void gser(float* result, float a, float x, float* ln_gamma_a) {
  *ln_gamma_a = static_cast<float>(gammln(static_cast<double>(a)));
  if (std::isnan(a) || std::isnan(x)) {
    // The series would run its 100 terms on NaN and blame a large a.
    *result = std::numeric_limits<float>::quiet_NaN();
    return;
  }
  if (x <= 0.0f) {
    if (x < 0.0f) vcerror("x less than 0 in routine gser");
    *result = 0.0f;
    return;
  }
  float a_k = a;
  float term = 1.0f / a;
  float sum = term;
  for (int n = 1; n <= kMaxIterations; ++n) {
    a_k = a_k + 1.0f;
    term = term * (x / a_k);
    sum = sum + term;
    if (std::fabs(static_cast<double>(sum)) * kRelativeTolerance >
        std::fabs(static_cast<double>(term))) {
      *result = static_cast<float>(static_cast<double>(sum) * gammaPrefactor(a, x, *ln_gamma_a));
      return;
    }
  }
  vcerror("a too large, ITMAX too small in routine gser");
}

// Q(a, x) = e^-x x^a / Gamma(a) * 1/(x+1-a- 1(1-a)/(x+3-a- 2(2-a)/(x+5-a- ...))),
// evaluated by the modified Lentz method in single precision; converges quickly for
// x > a + 1. Stops when a step changes the value by less than 3e-7 (in double).
void gcf(float* result, float a, float x, float* ln_gamma_a) {
  *ln_gamma_a = static_cast<float>(gammln(static_cast<double>(a)));
  if (std::isnan(a) || std::isnan(x)) {
    // The fraction would run its 100 steps on NaN and blame a large a.
    *result = std::numeric_limits<float>::quiet_NaN();
    return;
  }
  float b = static_cast<float>(1.0 + static_cast<double>(x) - static_cast<double>(a));
  float c = kHugeFloat;
  float d = 1.0f / b;
  float h = d;
  bool converged = false;
  for (int i = 1; i <= kMaxIterations; ++i) {
    const float coef = static_cast<float>(-i) * (static_cast<float>(i) - a);
    b = b + 2.0f;
    d = floorTiny(coef * d + b);
    c = floorTiny(b + coef / c);
    d = 1.0f / d;
    const float delta = d * c;
    h = h * delta;
    if (std::fabs(static_cast<double>(delta) - 1.0) < kRelativeTolerance) {
      converged = true;
      break;
    }
  }
  if (!converged) vcerror("a too large, ITMAX too small in gcf");
  *result = static_cast<float>(static_cast<double>(h) * gammaPrefactor(a, x, *ln_gamma_a));
}

// Q(a, x) for a > 0 and x >= 0; other arguments end the process through vcerror.
// Below x = a + 1 (compared in double) the series gives P and Q = 1 - P in float;
// above it the continued fraction gives Q directly.
// NaN gives NaN, and x = +Inf the limit Q(a, Inf) = 0, which the fraction cannot reach.
float gammq(float a, float x) {
  if (std::isnan(a) || std::isnan(x)) return std::numeric_limits<float>::quiet_NaN();
  if (x < 0.0f || a <= 0.0f) vcerror("Invalid arguments in routine gammq");
  if (std::isinf(x)) return 0.0f;
  float value;
  float ln_gamma_a;
  if (static_cast<double>(x) < static_cast<double>(a) + 1.0) {
    gser(&value, a, x, &ln_gamma_a);
    return 1.0f - value;
  }
  gcf(&value, a, x, &ln_gamma_a);
  return value;
}

// Continued fraction of I_x(a, b) (without its prefactor), modified Lentz, all double.
// Each round takes one even and one odd step. Converges fast for
// x < (a + 1)/(a + b + 2); after 100 rounds the current value is returned silently.
float betacf(double a, double b, double x) {
  const double apb = a + b;
  const double ap1 = a + 1.0;
  const double am1 = a - 1.0;
  double c = 1.0;
  double d = floorTiny(1.0 - apb * x / ap1);
  d = 1.0 / d;
  double h = d;
  for (int m = 1; m <= kMaxIterations; ++m) {
    const double md = static_cast<double>(m);
    const double m2 = 2.0 * md;
    double coef = md * (b - md) * x / ((am1 + m2) * (a + m2));
    d = floorTiny(1.0 + coef * d);
    c = floorTiny(1.0 + coef / c);
    d = 1.0 / d;
    const double even = d * c;
    coef = -(a + md) * (apb + md) * x / ((a + m2) * (ap1 + m2));
    d = floorTiny(1.0 + coef * d);
    c = floorTiny(1.0 + coef / c);
    d = 1.0 / d;
    const double delta = d * c;
    h = (even * h) * delta;
    if (std::fabs(delta - 1.0) < kRelativeTolerance) break;
  }
  return static_cast<float>(h);
}

// I_x(a, b) = x^a (1-x)^b / (a B(a, b)) * fraction(a, b, x), using the fraction
// directly below x = (a + 1)/(a + b + 2) and the symmetry I_x(a, b) = 1 - I_(1-x)(b, a)
// above it, where the fraction converges fast in each case. 0 outside [0, 1]; the
// prefactor is 0 at both ends, so x = 0 gives exactly 0 and x = 1 exactly 1.
float betai(float a, float b, float x) {
  if (x < 0.0f || x > 1.0f) return 0.0f;
  const float apb = a + b;
  float front = 0.0f;
  if (x != 0.0f && x != 1.0f) {
    const double xd = static_cast<double>(x);
    front = static_cast<float>(
        std::exp(gammln(static_cast<double>(apb)) - gammln(static_cast<double>(a)) -
                 gammln(static_cast<double>(b)) + static_cast<double>(a) * std::log(xd) +
                 static_cast<double>(b) * std::log(1.0 - xd)));
  }
  if (static_cast<double>(x) < (static_cast<double>(a) + 1.0) / (static_cast<double>(apb) + 2.0)) {
    return betacf(a, b, x) * front / a;
  }
  // 1 - x is exact in double for every float x in [0, 1].
  return 1.0f - betacf(b, a, 1.0 - static_cast<double>(x)) * front / b;
}

// erfc(x) = t exp(-z^2 - 1.26551223 + t P(t)) with z = |x| and t = 1/(1 + z/2), a
// Chebyshev fit with relative error below 1.2e-7 for x >= 0; erfc(-x) = 2 - erfc(x).
// t is rounded to float and then used in double, -z^2 is a float product.
float erfcc(float x) {
  const float z = std::fabs(x);
  const float t = static_cast<float>(1.0 / (1.0 + 0.5 * static_cast<double>(z)));
  const double td = static_cast<double>(t);
  double poly = kErfcPolynomial[8];
  for (int k = 7; k >= 0; --k) poly = kErfcPolynomial[k] + td * poly;
  poly = td * poly;
  const float ans =
      static_cast<float>(td * std::exp(static_cast<double>(-z * z) - kErfcConstant + poly));
  return x >= 0.0f ? ans : static_cast<float>(2.0 - static_cast<double>(ans));
}

// Q_KS(lambda) by its alternating series; stops when a term is at most 0.001 of the
// previous term or 1e-8 of the sum. For small lambda the terms do not decay within 100
// terms and the routine returns 1.0 (so probks(0) = 1.0).
float probks(float lambda) {
  const double l = static_cast<double>(lambda);
  const float expo = static_cast<float>(-2.0 * l * l);
  float factor = 2.0f;
  float sum = 0.0f;
  float previous = 0.0f;
  for (int j = 1; j <= kMaxKsTerms; ++j) {
    const float jf = static_cast<float>(j);
    const float exponent = expo * jf * jf;
    const float term =
        static_cast<float>(static_cast<double>(factor) * std::exp(static_cast<double>(exponent)));
    sum = sum + term;
    const double magnitude = std::fabs(static_cast<double>(term));
    if (static_cast<double>(previous) * kKsTermRatio >= magnitude ||
        static_cast<double>(sum) * kKsSumRatio >= magnitude) {
      return sum;
    }
    factor = -factor;
    previous = std::fabs(term);
  }
  return 1.0f;
}

// z = v sqrt(-2 ln w / w) with v = 1 - p, w = v^2, i.e. sqrt(-4 ln(1 - p)). The root is
// taken in double and rounded to float before the product with v.
float p_to_z(float p) {
  if (p == 1.0f) p = kLargestProbability;
  const float v = 1.0f - p;
  const float w = v * v;
  const double wd = static_cast<double>(w);
  const float root = static_cast<float>(std::sqrt(-2.0 * std::log(wd) / wd));
  return v * root;
}

// Q(F | df1, df2) = I_(df2/(df2 + df1 F))(df2/2, df1/2).
float F_to_p(float F, unsigned long df1, unsigned long df2) {
  if (F < 0.0f) return 0.0f;
  const float d1 = static_cast<float>(df1);
  const float d2 = static_cast<float>(df2);
  return betai(0.5f * d2, 0.5f * d1, d2 / (F * d1 + d2));
}

// A(t | df) complement: I_(df/(df + t^2))(df/2, 1/2), two-sided.
float t_to_p(float t, unsigned long df) { return tTail(t, static_cast<float>(df)); }

// r is turned into t = r sqrt(df / ((1 - r)(1 + r))) with df = n - 2 (the 1e-20 guards
// keep r = -1 finite) and then into the two-sided t tail.
float r_to_p(float r, unsigned long n) {
  if (n < 2 || r == 0.0f) return 1.0f;
  if (r == 1.0f) return 0.0f;
  const float df = static_cast<float>(n - 2);
  const double rd = static_cast<double>(r);
  const float t = static_cast<float>(
      rd * std::sqrt(static_cast<double>(df) /
                     ((1.0 - rd + kCorrelationGuard) * (1.0 + rd + kCorrelationGuard))));
  return tTail(t, df);
}

float p_to_F(float p, unsigned long df1, unsigned long df2) {
  return invertBySearch(p, 10.0f, 2.0f, [=](float v) { return F_to_p(v, df1, df2); });
}

float p_to_t(float p, unsigned long df) {
  return invertBySearch(p, 4.0f, 2.0f, [=](float v) { return t_to_p(v, df); });
}

float p_to_r(float p, unsigned long n) {
  return invertBySearch(p, 0.4f, 0.2f, [=](float v) { return r_to_p(v, n); });
}
