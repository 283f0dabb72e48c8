// Temporal correlation of any stationary spectrum: each voxel's course of white
// deviates filtered circularly by the square root of the spectrum.
//
// The spectrum is given as relative power at P equally spaced frequencies from 0 to the
// Nyquist frequency (f_i = i / (2 (P - 1)) cycles per volume). A run of N volumes takes
// it at its own frequencies j / N, j = 0 .. N - 1, by linear interpolation between the
// points (at min(j, N - j) / N, the spectrum of a real process being even):
//   S_j,  and the kernel  h_k = (1/N) sum_j sqrt(S_j) cos(2 pi j k / N),
// real and even, scaled so that sum_k h_k^2 = 1 (unit variance). The kernel is kept for
// |k| <= K, K the least lag whose tail sum_{|k| > K} h_k^2 is below 10^-6 of the whole
// (at most (N - 1) / 2), and scaled again to unit energy; all in double, each tap then
// rounded to float once.
//
// A course z_0 .. z_(N-1) becomes
//   e_t = h_0 z_t + sum_{k = 1 .. K} h_k (z_(t-k mod N) + z_(t+k mod N)),
// in single precision, the terms added in the order of k and each pair summed before it
// is multiplied. The result is a Gaussian process that is stationary on the circle of N
// volumes: its autocorrelation at lag k is c(k) + c(N - k), c the kernel's own, so for
// lags below N - 2K it is exactly c(k), and its expected periodogram is S at the run's
// frequencies. Filtering the course that the spatial model has already shaped keeps the
// noise's covariance the product of the spatial and the temporal one. It uses no random
// stream of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

class SpectralFilter {
 public:
  // `power`: at least two values, none negative or infinite, some above 0.
  SpectralFilter(const std::vector<double>& power, int volumes);

  // The kept taps h_0 .. h_K.
  const std::vector<float>& taps() const { return taps_; }

  // Filters `voxels` courses of the run's volumes each, one after another at `courses`,
  // in place, and puts them on `levels`: (noiseAmplitude * e) + baseline (kStandardNormal
  // leaves e itself).
  void apply(float* courses, std::int64_t voxels, const simulation::Levels& levels) const;

 private:
  int volumes_;
  std::vector<float> taps_;
};

// The circular autocorrelation r(0 .. N - 1) of the filter's output, in double from the
// unrounded kernel; for the fit's predictions and tests.
std::vector<double> spectralAutocorrelation(const std::vector<double>& power, int volumes);

}  // namespace tolvane::engine

#pragma GCC visibility pop
