// In-place radix-2 fast Fourier transforms in single precision.
//
// Conventions for this family:
//  * Arrays are one-based. A complex sequence is interleaved: element k (counted from 0)
//    has its real part at index 2k + 1 and its imaginary part at 2k + 2.
//  * Every length is a power of 2; a length that is not ends the process through
//    vcerror with a message naming the routine and the length ("four1: npoints = 3 is
//    not a power of 2"), before anything is changed. Lengths of 0 (nothing to
//    transform) and 1 (a value is its own transform) are accepted where stated. The
//    arrays must hold the elements the lengths imply; that cannot be checked.
//  * NaN and infinite values are transformed like any others and spread into the
//    results as IEEE arithmetic makes them; they never stop a transform.
//  * The transform with sign s is H_m = sum_k h_k exp(s 2 pi i k m / N). Nothing is
//    normalised: a forward and an inverse transform multiply the data by N for the
//    complex transforms, by n/2 for realft and by len1 len2 len3 / 2 for rlft3.
//  * Twiddle factors come from a double-precision trigonometric recurrence, two sin
//    calls per stage; no tables and no work arrays.
#pragma once

// Replaces data[1..2 npoints] (npoints complex values) by its transform with the given
// sign (+1 or -1). npoints = 0 or 1 leaves data unchanged.
void four1(float* data, unsigned long npoints, int sign);

// ndims-dimensional complex transform of data[1..2 total], total = dims[1] * ... *
// dims[ndims] (dims one-based), stored with the last index varying fastest.
void fourn(float* data, unsigned long* dims, int ndims, int sign);

// sign = 1: transform of n real values data[1..n], packed into the same n floats:
// data[1] = H_0, data[2] = H_(n/2) (both real), data[2k+1], data[2k+2] = Re, Im H_k for
// k = 1 .. n/2 - 1. Any other sign: the inverse of that packing, n real values times
// n/2. n = 1: forward leaves data[1] (its own transform), the inverse halves it (n/2);
// n = 0 touches nothing.
void realft(float* data, unsigned long n, int sign);

// Transform of the real array data[1..len1][1..len2][1..len3], which must be one
// contiguous block as f3tensor allocates it. sign = 1: afterwards data[i1][i2][2k-1],
// data[i1][i2][2k] hold the value at frequencies (i1-1, i2-1, k-1), k = 1 .. len3/2,
// and nyquist[i1][2 i2 - 1], nyquist[i1][2 i2] (a [1..len1][1..2 len2] matrix) the value
// at (i1-1, i2-1, len3/2). sign = -1: the inverse, giving the real array times
// len1 len2 len3 / 2. len1 and len2 must be powers of 2 and len3 a power of 2 of at
// least 2 (a pair along the last index); other lengths end through vcerror before any
// element is addressed. A non-contiguous data array ends the process at once with exit
// status 1 and no message, before anything is changed.
void rlft3(float*** data, float** nyquist, unsigned long len1, unsigned long len2,
           unsigned long len3, int sign);
