// Weighted least-squares model fitting: linear fits by singular value decomposition and
// nonlinear fits by the Levenberg-Marquardt method.
//
// Conventions for this family:
//  * All arrays are one-based: data x, y, sigma [1..npoints]; parameters [1..nparams];
//    matrices from matrix(1, .., 1, ..). Element type float; sums accumulate in float in
//    increasing index order.
//  * chi-square is the sum of ((y[i] - model(x[i])) / sigma[i])^2; every sigma[i] must be
//    non-zero (not checked).
//  * fitflags[j] != 0 fits parameter j, 0 holds it at its current value; mfit is the
//    number of fitted parameters. Curvature matrix, gradient and step are packed: their
//    index 1..mfit runs over the fitted parameters in increasing order.
//  * Callbacks are plain function pointers; fpoly and fgauss are ready-made ones.
#pragma once

// Basis callback of svdfit: fills terms[1..n] with the n basis functions at x.
using BasisFunction = void (*)(float x, float* terms, int n);
// Model callback of mrqcof/mrqmin: *y = model at x for params[1..nparams], and
// deriv[1..nparams] its partial derivatives with respect to each parameter.
using ModelFunction = void (*)(float x, float* params, float* y, float* deriv, int nparams);

// Polynomial basis p[j] = x^(j-1), j = 1..n. p[1] = 1 is set even for n < 1.
void fpoly(float x, float* p, int n);

// Linear least squares for coef[1..ncoef] in y = sum_j coef[j] basis_j(x) by SVD of the
// sigma-weighted design matrix. Singular values below 1e-5 of the largest are set to 0
// and their directions dropped, so degenerate basis functions get no weight instead of
// a huge one. On return u[1..npoints][1..ncoef], v[1..ncoef][1..ncoef] and w[1..ncoef]
// hold the decomposition (pass v and w to svdvar for the covariance of coef) and
// *chisq the chi-square of the fit. Only an allocation failure is fatal.
void svdfit(float* x, float* y, float* sigma, int npoints, float* coef, int ncoef, float** u,
            float** v, float* w, float* chisq, BasisFunction basis);

// At params: the packed curvature matrix alpha[1..mfit][1..mfit] (symmetric, half the
// Hessian of chi-square in the linearised model), the packed gradient beta[1..mfit]
// (minus half the gradient of chi-square) and *chisq.
void mrqcof(float* x, float* y, float* sigma, int npoints, float* params, int* fitflags,
            int nparams, float** alpha, float* beta, float* chisq, ModelFunction model);

// One Levenberg-Marquardt iteration; the caller drives the fit through *lambda:
//  * *lambda < 0: start a fit (lambda becomes 0.001) and take the first step. A fit
//    still in progress is abandoned and its state released first.
//  * *lambda > 0: one more step. A trial that lowers chi-square strictly is accepted
//    (params, alpha and *chisq updated, lambda / 10); otherwise it is rejected
//    (*chisq keeps the accepted value, lambda * 10).
//  * *lambda = 0: finish: covariance[1..nparams][1..nparams] receives the covariance
//    matrix of the parameters (zero rows and columns for fixed ones) and the state is
//    released.
// There is no convergence test; the caller judges from *chisq and *lambda. The state
// is process-wide, so one fit at a time. Ends through vcerror when called with
// *lambda >= 0 and no fit in progress, and (from gaussj) when the augmented curvature
// matrix is singular, e.g. for a fitted parameter the model does not depend on.
void mrqmin(float* x, float* y, float* sigma, int npoints, float* params, int* fitflags,
            int nparams, float** covariance, float** alpha, float* chisq, ModelFunction model,
            float* lambda);

// Spreads the packed mfit x mfit covariance matrix in the top-left corner of
// covariance[1..nparams][1..nparams] over the rows and columns of the fitted parameters,
// in place, and zeroes the rows and columns of the fixed ones. An mfit other than the
// number of non-zero fitflags ends the process through vcerror before anything moves.
void covsrt(float** covariance, int nparams, int* fitflags, int mfit);

// Sum of Gaussians y = sum_k B_k exp(-((x - E_k)/G_k)^2) over the triplets
// (B_k, E_k, G_k) = params[i..i+2], i = 1, 4, 7, ..., with analytic derivatives.
// Only complete triplets are evaluated: with nparams not a multiple of 3 the trailing
// one or two parameters are neither read nor given a derivative.
void fgauss(float x, float* params, float* y, float* deriv, int nparams);
