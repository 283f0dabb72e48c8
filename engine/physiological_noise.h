// Physiological noise: cardiac and respiratory fluctuations sampled at the volume times,
// so that they alias through the TR as they do in a scanner.
//
// Each of the two oscillators (cardiac, respiratory) has a phase that advances with a
// rate wandering slowly around its nominal frequency f0:
//   f(t) = f0 (1 + W sin(2 pi t / P + psi)),   P = kRateWanderPeriodSeconds,
//   Phi(t) = 2 pi integral_0^t f = 2 pi f0 (t + W P / (2 pi) (cos psi - cos(2 pi t / P + psi))),
// W the wander (kRateWander unless given: the rates stay within +-10 % of nominal),
// psi drawn per run and oscillator, t = n TR the time of volume n. Voxel v sees each
// oscillator with a phase offset alpha_v that varies smoothly in space, a plane wave
// across the grid:
//   alpha_v = alpha_0 + 2 pi (g_x x / dimX + g_y y / dimY + g_z z / dimZ),
// alpha_0 uniform on [0, 2 pi) and g uniform on [-1, 1] per run and oscillator, so the
// phase turns by at most one cycle across the grid. Each oscillator carries its first
// harmonic at kHarmonicAmplitude of the fundamental's amplitude:
//   o_v(t) = cos(Phi(t) + alpha_v) + kHarmonicAmplitude cos(2 (Phi(t) + alpha_v)).
// A voxel's physiological time course is u_v = o_v(cardiac) + o_v(respiratory) (each
// oscillator's variance about half of the total), centred and scaled to its own mean 0
// and population variance 1 over the run: q_v = (u_v - mean u_v) / sd(u_v).
// The run's random numbers (psi, alpha_0, g) come from the run's kPhysioStream, voxel 0,
// time points 0 .. 9 (five per oscillator, cardiac first), each a standard normal deviate
// d turned into a uniform one by Phi(d) = erfc(-d / sqrt 2) / 2.
// The phases, the basis cos/sin(h Phi(t)) and each voxel's weights are computed in double
// and rounded to float; a voxel's q is then a sum of eight basis functions with its
// weights, in single precision in a fixed order.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/counter_noise.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

constexpr double kRateWander = 0.1;
constexpr double kRateWanderPeriodSeconds = 60.0;
constexpr double kHarmonicAmplitude = 0.5;

struct PhysiologicalRates {
  double cardiacHz = 1.1;
  double respiratoryHz = 0.25;
  double wander = kRateWander;
};

// A run's physiological oscillations: the basis functions of time shared by every voxel,
// and what each voxel's weights are made from.
class PhysiologicalNoise {
 public:
  static constexpr int kBasisFunctions = 8;  // cos and sin of h Phi, h = 1, 2, two oscillators

  PhysiologicalNoise(const PhysiologicalRates& rates, const FieldKey& runKey, int dimX, int dimY,
                     int dimZ, int timePoints, double trSeconds);

  // q_v(t) for t = 0 .. timePoints - 1 of grid voxel `voxel`, into `out`.
  void timeCourse(std::int64_t voxel, float* out) const;

  // course_i[t] <- course_i[t] + (a_i * q_v(t)) for each of `voxels` time courses lying
  // one after another at `courses`, course i being grid voxel v = firstVoxel + i * step
  // and a_i = amplitudes[v] (amplitudes has one value per grid voxel); a course whose
  // amplitude is 0 is left as it is. Each value is the one timeCourse() gives, added.
  void addToCourses(float* courses, std::int64_t voxels, std::int64_t firstVoxel,
                    std::int64_t step, const float* amplitudes) const;

 private:
  // The weights before scaling: the voxel's cos and sin of h alpha, times the harmonic's
  // amplitude for h = 2, in the basis's order.
  void rawWeights(std::int64_t voxel, double* raw) const;
  void weights(std::int64_t voxel, float* w) const;
  int dims_[3];
  int timePoints_;
  std::vector<float> basis_;  // kBasisFunctions rows of timePoints values, each centred
  // The Gram matrix of the centred basis over the run (population covariances), in double.
  double gram_[kBasisFunctions][kBasisFunctions];
  double phaseOffset_[2];
  double gradient_[2][3];
};

}  // namespace tolvane::engine

#pragma GCC visibility pop
