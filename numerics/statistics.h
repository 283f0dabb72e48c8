// Descriptive statistics, two-sample tests, correlation and straight-line regression.
//
// Conventions for this family:
//  * Samples are one-based float arrays data[1..n]; n is unsigned long except in fit,
//    which takes an int count.
//  * Results go out through pointer parameters. Several routines compute the test
//    statistic only: their probability parameter is part of the signature, accepted
//    and left unchanged (each declaration says which outputs are written).
//  * Arithmetic is single precision except the steps the source marks as double.
//  * kstwo sorts its inputs in place and crank overwrites its input with ranks; every
//    other routine leaves its input arrays unchanged.
//  * Degenerate input gives the documented zero results, never an error. Sizes are the
//    caller's duty (avevar needs n >= 2; with n = 1 the variance is NaN).
//  * The incremental routines pearsn_inc and regr_inc share one caller-owned
//    accumulator of six floats: count, sum_x, sum_y, sxx, syy, sxy, all zero before the
//    first point. sxx, syy and sxy sum each new point's deviations from the running
//    means (itself included), not the deviations from the final means.
#pragma once

// Mean and variance (corrected two-pass, divisor n - 1) of data[1..n].
void avevar(float* data, unsigned long n, float* mean, float* variance);

// Student's t for two samples with pooled variance; 0 when the pooled variance is 0.
// Writes t only.
void ttest(float* data1, unsigned long count1, float* data2, unsigned long count2, float* t,
           float* prob);

// Student's t for two samples with unequal variances; 0 when both variances are 0.
// Writes t only.
void tutest(float* data1, unsigned long count1, float* data2, unsigned long count2, float* t,
            float* prob);

// Two-sample Kolmogorov-Smirnov statistic d, the largest distance between the two
// empirical distribution functions. Sorts data1 and data2 ascending; writes d only.
// A NaN in either sample makes d NaN (the distributions are not defined).
void kstwo(float* data1, unsigned long count1, float* data2, unsigned long count2, float* d,
           float* prob);

// Replaces the ascending values[1..n] by their ranks, tied values getting the mean of
// the ranks they span; *tie_sum = sum over tie groups of t^3 - t.
void crank(unsigned long n, float* values, float* tie_sum);

// Spearman's rank correlation with tie corrections. Writes *d, the sum of squared rank
// differences, always; then either *d_z (its deviation from the expectation in standard
// deviations), *d_prob (two-sided normal probability of d_z) and *rho, or, when one
// sample is entirely tied, rho = 0 and rho_prob = 0 with d_z and d_prob unchanged.
void spear(float* data1, float* data2, unsigned long n, float* d, float* d_z, float* d_prob,
           float* rho, float* rho_prob);

// Pearson's r of x[1..n], y[1..n]; 0 when either sample is constant. Writes r only.
void pearsn(float* x, float* y, unsigned long n, float* r, float* prob, float* z);

// As pearsn, with r's quotient in double, and *prob the two-sided probability of r
// under no correlation (needs n >= 3). z is not written.
void pearsn_prob(float* x, float* y, unsigned long n, float* r, float* prob, float* z);

// Adds the point (x, y) to the accumulator and writes Pearson's r of the points so far.
void pearsn_inc(float x, float y, float& count, float& sum_x, float& sum_y, float& sxx, float& syy,
                float& sxy, float* r);

// Adds the point (x, y) to the accumulator and writes the regression line of the points
// so far (slope 0 while the x values are all equal) and the mean of y.
void regr_inc(float x, float y, float& count, float& sum_x, float& sum_y, float& sxx, float& syy,
              float& sxy, float* intercept, float* slope, float* mean_y);

// Least-squares line y = intercept + slope x through x[1..n], y[1..n], weighted by
// 1/sigma[i]^2 when use_sigma != 0. Writes all six outputs. Without sigma the standard
// deviations are scaled by the residual scatter (n >= 3 for finite values) and q = 1;
// with sigma, q is the chi-square goodness-of-fit probability, and n <= 2 ends the
// process through vcerror (from gammq).
void fit(float* x, float* y, int n, float* sigma, int use_sigma, float* intercept, float* slope,
         float* intercept_sd, float* slope_sd, float* chi2, float* q);
