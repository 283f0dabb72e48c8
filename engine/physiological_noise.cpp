// Physiological noise; conventions in physiological_noise.h.
#include "engine/physiological_noise.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

constexpr int kOscillators = 2;  // cardiac, respiratory
constexpr int kRandomNumbers = 5;  // psi, alpha_0, g_x, g_y, g_z per oscillator

// A standard normal deviate turned into a uniform one on (0, 1), in double.
double uniformOf(float deviate) { return 0.5 * std::erfc(-static_cast<double>(deviate) / std::sqrt(2.0)); }

}  // namespace

PhysiologicalNoise::PhysiologicalNoise(const PhysiologicalRates& rates, const FieldKey& runKey,
                                       int dimX, int dimY, int dimZ, int timePoints,
                                       double trSeconds)
    : dims_{dimX, dimY, dimZ}, timePoints_(timePoints) {
  const double pi = std::acos(-1.0);
  float deviates[kOscillators * kRandomNumbers];
  fieldDeviates({runKey.seed, runKey.run, kPhysioStream}, 0, 0, kOscillators * kRandomNumbers,
                deviates);
  const double nominalHz[kOscillators] = {rates.cardiacHz, rates.respiratoryHz};
  std::vector<double> basis(static_cast<std::size_t>(kBasisFunctions) * timePoints);
  for (int o = 0; o < kOscillators; ++o) {
    const float* u = deviates + o * kRandomNumbers;
    const double psi = 2.0 * pi * uniformOf(u[0]);
    phaseOffset_[o] = 2.0 * pi * uniformOf(u[1]);
    for (int axis = 0; axis < 3; ++axis) gradient_[o][axis] = 2.0 * uniformOf(u[2 + axis]) - 1.0;
    for (int n = 0; n < timePoints; ++n) {
      const double t = n * trSeconds;
      const double phase =
          2.0 * pi * nominalHz[o] *
          (t + rates.wander * kRateWanderPeriodSeconds / (2.0 * pi) *
                   (std::cos(psi) - std::cos(2.0 * pi * t / kRateWanderPeriodSeconds + psi)));
      for (int h = 1; h <= 2; ++h) {
        const int row = o * 4 + (h - 1) * 2;
        basis[static_cast<std::size_t>(row) * timePoints + n] = std::cos(h * phase);
        basis[static_cast<std::size_t>(row + 1) * timePoints + n] = std::sin(h * phase);
      }
    }
  }
  // Centre each function over the run, round it to float, and take the Gram matrix of the
  // rounded values, so that a voxel's scaled course has variance 1 to float precision.
  basis_.resize(basis.size());
  for (int k = 0; k < kBasisFunctions; ++k) {
    double mean = 0.0;
    for (int n = 0; n < timePoints; ++n) mean += basis[static_cast<std::size_t>(k) * timePoints + n];
    mean /= timePoints;
    for (int n = 0; n < timePoints; ++n) {
      const std::size_t i = static_cast<std::size_t>(k) * timePoints + n;
      basis_[i] = static_cast<float>(basis[i] - mean);
    }
  }
  for (int k = 0; k < kBasisFunctions; ++k)
    for (int l = 0; l < kBasisFunctions; ++l) {
      double sum = 0.0;
      for (int n = 0; n < timePoints; ++n)
        sum += static_cast<double>(basis_[static_cast<std::size_t>(k) * timePoints + n]) *
               basis_[static_cast<std::size_t>(l) * timePoints + n];
      gram_[k][l] = sum / timePoints;
    }
}

void PhysiologicalNoise::rawWeights(std::int64_t voxel, double* raw) const {
  const double pi = std::acos(-1.0);
  const std::int64_t x = voxel % dims_[0], y = voxel / dims_[0] % dims_[1];
  const std::int64_t z = voxel / (std::int64_t{dims_[0]} * dims_[1]);
  const double position[3] = {static_cast<double>(x) / dims_[0], static_cast<double>(y) / dims_[1],
                              static_cast<double>(z) / dims_[2]};
  for (int o = 0; o < kOscillators; ++o) {
    double alpha = phaseOffset_[o];
    for (int axis = 0; axis < 3; ++axis) alpha += 2.0 * pi * gradient_[o][axis] * position[axis];
    // cos(h Phi + h alpha) = cos(h Phi) cos(h alpha) - sin(h Phi) sin(h alpha); the
    // harmonic's by the double-angle formulas, which halve the library calls of a voxel.
    const double c = std::cos(alpha), s = std::sin(alpha);
    raw[o * 4 + 0] = c;
    raw[o * 4 + 1] = -s;
    raw[o * 4 + 2] = kHarmonicAmplitude * ((c - s) * (c + s));
    raw[o * 4 + 3] = -kHarmonicAmplitude * (2.0 * s * c);
  }
}

void PhysiologicalNoise::weights(std::int64_t voxel, float* w) const {
  double raw[kBasisFunctions];
  rawWeights(voxel, raw);
  double variance = 0.0;
  for (int k = 0; k < kBasisFunctions; ++k)
    for (int l = 0; l < kBasisFunctions; ++l) variance += raw[k] * gram_[k][l] * raw[l];
  const double scale = variance > 0.0 ? 1.0 / std::sqrt(variance) : 0.0;
  for (int k = 0; k < kBasisFunctions; ++k) w[k] = static_cast<float>(raw[k] * scale);
}

void PhysiologicalNoise::timeCourse(std::int64_t voxel, float* out) const {
  float w[kBasisFunctions];
  weights(voxel, w);
  const int nT = timePoints_;
  for (int t = 0; t < nT; ++t) out[t] = w[0] * basis_[t];
  for (int k = 1; k < kBasisFunctions; ++k) {
    const float* row = &basis_[static_cast<std::size_t>(k) * nT];
    for (int t = 0; t < nT; ++t) out[t] = out[t] + w[k] * row[t];
  }
}

namespace {

// Voxels whose weights are made together: their variances (quadratic forms of 64 terms,
// each a chain of dependent additions in double) are summed side by side on vector lanes.
constexpr int kVoxelLanes = 16;

struct VoxelBatch {
  const double (*gram)[PhysiologicalNoise::kBasisFunctions];
  const float* basis;  // kBasisFunctions rows of timePoints
  int timePoints;
  int count;
  double raw[PhysiologicalNoise::kBasisFunctions][kVoxelLanes];  // 0 past count
  float amplitude[kVoxelLanes];
  float* course[kVoxelLanes];
};

// weights() for each voxel of the batch, then timeCourse()'s sum, term by term in the
// same order, with each time point's value kept in a register between the terms.
TOLVANE_VECTOR_BODY inline void addBatchBody(const VoxelBatch& batch) {
  constexpr int kFunctions = PhysiologicalNoise::kBasisFunctions;
  double variance[kVoxelLanes] = {};
  for (int k = 0; k < kFunctions; ++k)
    for (int l = 0; l < kFunctions; ++l) {
      const double g = batch.gram[k][l];
      for (int i = 0; i < kVoxelLanes; ++i) variance[i] += batch.raw[k][i] * g * batch.raw[l][i];
    }
  const int nT = batch.timePoints;
  const float* rows[kFunctions];
  for (int k = 0; k < kFunctions; ++k) rows[k] = batch.basis + static_cast<std::ptrdiff_t>(k) * nT;
  for (int i = 0; i < batch.count; ++i) {
    const double scale = variance[i] > 0.0 ? 1.0 / std::sqrt(variance[i]) : 0.0;
    float w[kFunctions];
    for (int k = 0; k < kFunctions; ++k) w[k] = static_cast<float>(batch.raw[k][i] * scale);
    const float amplitude = batch.amplitude[i];
    float* const course = batch.course[i];
    for (int t = 0; t < nT; ++t) {
      float q = w[0] * rows[0][t];
      for (int k = 1; k < kFunctions; ++k) q = q + w[k] * rows[k][t];
      course[t] = course[t] + amplitude * q;
    }
  }
}

}  // namespace

void PhysiologicalNoise::addToCourses(float* courses, std::int64_t voxels, std::int64_t firstVoxel,
                                      std::int64_t step, const float* amplitudes) const {
  VoxelBatch batch{gram_, basis_.data(), timePoints_, 0, {}, {}, {}};
  const auto flush = [&] {
    onWidestVectors([&]() TOLVANE_VECTOR_BODY { addBatchBody(batch); });
    batch.count = 0;
    for (auto& row : batch.raw) std::fill(std::begin(row), std::end(row), 0.0);
  };
  for (std::int64_t i = 0; i < voxels; ++i) {
    const std::int64_t voxel = firstVoxel + i * step;
    // An amplitude of 0 adds nothing, so the voxel is skipped.
    if (amplitudes[voxel] == 0.0f) continue;
    double raw[kBasisFunctions];
    rawWeights(voxel, raw);
    for (int k = 0; k < kBasisFunctions; ++k) batch.raw[k][batch.count] = raw[k];
    batch.amplitude[batch.count] = amplitudes[voxel];
    batch.course[batch.count] = courses + i * timePoints_;
    if (++batch.count == kVoxelLanes) flush();
  }
  if (batch.count > 0) flush();
}

}  // namespace tolvane::engine
