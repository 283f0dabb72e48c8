// Temporal correlation of any stationary spectrum: each voxel's course of white
// deviates filtered circularly by the square root of the spectrum.
//
// The spectrum is given as relative power at P equally spaced frequencies from 0 to the
// Nyquist frequency (f_i = i / (2 (P - 1)) cycles per volume). A run of N volumes takes
// it at its own frequencies j / N, j = 0 .. N - 1, by linear interpolation between the
// points (at min(j, N - j) / N, the spectrum of a real process being even), S_j, and
// filters each course z_0 .. z_(N-1) circularly:
//   e_t = sum_s h_((t - s) mod N) z_s,   h_m = (c / N) sum_j sqrt(S_j) cos(2 pi j m / N),
// c scaling h to unit energy, sum_m h_m^2 = 1, so that var(e_t) = 1 (in double).
//
// When N has no prime factor above 5 the filter is applied through the engine's own
// transform (line_fft.h), sixteen courses at once as the real parts of sixteen lines
// (imaginary parts 0, so that no course's rounding depends on another's): X = B(z), each
// X_j multiplied by G_j = c sqrt(S_j) / N (rounded to float once), Y = B(G X), and e_t
// the real part of Y_((N - t) mod N) (B the unnormalised backward transform; G is real
// and even). Otherwise by the direct sum
//   e_t = h_0 z_t + sum_{k = 1 .. ceil(N/2) - 1} h_k (z_(t-k mod N) + z_(t+k mod N))
//         [+ h_(N/2) z_(t+N/2 mod N) for even N],
// taps rounded to float, terms added in the order of k, each pair summed before it is
// multiplied. Either way the values are single precision in a fixed order, the same for
// any split of the work. The result is a Gaussian process stationary on the circle of N
// volumes: its autocorrelation at lag k is r(k) = sum_m h_m h_(m+k mod N), and its
// expected periodogram at the run's frequencies is S (scaled). Filtering the course that
// the spatial model has already shaped keeps the noise's covariance the product of the
// spatial and the temporal one. It uses no random stream of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/line_fft.h"
#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

class SpectralFilter {
 public:
  // `power`: at least two values, none negative or infinite, some above 0.
  SpectralFilter(const std::vector<double>& power, int volumes);
  ~SpectralFilter();
  SpectralFilter(const SpectralFilter&) = delete;
  SpectralFilter& operator=(const SpectralFilter&) = delete;

  // Filters `voxels` courses of the run's volumes each, one after another at `courses`,
  // in place, and puts them on `levels`: (noiseAmplitude * e) + baseline (kStandardNormal
  // leaves e itself).
  void apply(float* courses, std::int64_t voxels, const simulation::Levels& levels) const;

 private:
  void applyDirect(float* courses, std::int64_t voxels, const simulation::Levels& levels) const;
  void applyByTransform(float* courses, std::int64_t voxels,
                        const simulation::Levels& levels) const;

  int volumes_;
  std::vector<float> taps_;   // h_0 .. h_(N/2), the direct sum's
  std::vector<float> gains_;  // G_0 .. G_(N-1), the transform's; empty: the direct sum
  std::unique_ptr<LineTransform> transform_;
};

// The circular autocorrelation r(0 .. N - 1) of the filter's output, in double from the
// unrounded kernel; for the fit's predictions and tests.
std::vector<double> spectralAutocorrelation(const std::vector<double>& power, int volumes);

}  // namespace tolvane::engine

#pragma GCC visibility pop
