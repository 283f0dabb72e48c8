// Slow drift; conventions in drift.h.
#include "engine/drift.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "engine/register_vectors.h"
#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

// The drifts of up to kDriftLanes neighbouring voxels are built side by side, one voxel
// per vector lane, time point by time point: each lane does its own voxel's operations in
// the definition's order, and the voxels' sums over time (chains of dependent additions
// in double) run as independent chains instead of waiting on one another. The lanes are
// GCC vectors of W floats (W / 2 doubles), W the width of the instance's registers,
// operated on lane by lane with the lanes' IEEE operations.
constexpr int kDriftLanes = 32;
// The basis's rows are padded to a multiple of this many values.
constexpr int kDriftPadding = 64;

// A group's coefficients by lane: c[k * kDriftLanes + j] is c_(k+1) of voxel j, 0 in the
// lanes past the group's voxels.
void groupCoefficients(const FieldKey& key, std::int64_t firstVoxel, std::int64_t step, int voxels,
                       int functions, float* c, float* work) {
  std::fill(c, c + static_cast<std::ptrdiff_t>(functions) * kDriftLanes, 0.0f);
  if (step != 1) {
    for (int j = 0; j < voxels; ++j) {
      fieldDeviates(key, firstVoxel + j * step, 0, functions, work);
      for (int k = 0; k < functions; ++k) c[k * kDriftLanes + j] = work[k];
    }
    return;
  }
  // Consecutive voxels: one counter (four coefficients) of every voxel at once.
  static_assert(kDriftLanes == kVoxelsByLane);
  for (int block = 0; block * kDeviatesPerCounter < functions; ++block) {
    const int k = block * kDeviatesPerCounter;
    if (functions - k >= kDeviatesPerCounter) {
      voxelDeviatesByLane(key, firstVoxel, voxels, static_cast<std::uint32_t>(block),
                          c + static_cast<std::ptrdiff_t>(k) * kDriftLanes);
    } else {
      float last[kDeviatesPerCounter * kDriftLanes];
      voxelDeviatesByLane(key, firstVoxel, voxels, static_cast<std::uint32_t>(block), last);
      std::copy(last, last + static_cast<std::ptrdiff_t>(functions - k) * kDriftLanes,
                c + static_cast<std::ptrdiff_t>(k) * kDriftLanes);
    }
  }
}

struct DriftGroup {
  const DriftBasis& basis;
  float sd;
  const float* coefficients;  // by lane, as groupCoefficients writes them
  float* courses;             // the first voxel's time course; the others follow
  int voxels;
  float* drifts;  // work space: basis.stride * kDriftLanes values, by lane
  const bool* inside;  // by lane: whether the voxel gets a drift
};

// The drifts u(t) of the group's voxels by lane, drifts[t * kDriftLanes + j] for voxel j,
// up to the basis's padded length (where the zeros of the padding make them 0). W / 4
// time points at once: with the voxels' vectors, eight independent chains of additions,
// enough to keep the adders busy without running out of registers.
template <int W>
TOLVANE_VECTOR_BODY inline void buildDrifts(const DriftGroup& group) {
  using Floats = FloatVector<W>;
  constexpr int kVectors = kDriftLanes / W, kTimesAtOnce = W / 4;
  static_assert(kDriftPadding % kTimesAtOnce == 0);
  const DriftBasis& basis = group.basis;
  for (int t = 0; t < basis.stride; t += kTimesAtOnce) {
    Floats u[kTimesAtOnce][kVectors] = {};
    for (int k = 0; k < basis.functions; ++k) {
      Floats c[kVectors];
#pragma GCC unroll 8
      for (int v = 0; v < kVectors; ++v)
        std::memcpy(&c[v], group.coefficients + k * kDriftLanes + v * W, sizeof(Floats));
      const float* phi = basis.values.data() + static_cast<std::ptrdiff_t>(k) * basis.stride + t;
#pragma GCC unroll 4
      for (int s = 0; s < kTimesAtOnce; ++s)
#pragma GCC unroll 8
        for (int v = 0; v < kVectors; ++v) u[s][v] = u[s][v] + c[v] * phi[s];
    }
#pragma GCC unroll 4
    for (int s = 0; s < kTimesAtOnce; ++s)
#pragma GCC unroll 8
      for (int v = 0; v < kVectors; ++v)
        std::memcpy(group.drifts + static_cast<std::ptrdiff_t>(t + s) * kDriftLanes + v * W,
                    &u[s][v], sizeof(Floats));
  }
}

// rows[i] <- column i of the 16 x 16 matrix whose row j is rows[j]: pairs of rows
// interleaved, then pairs of pairs, then quarters of 128 bits gathered in two steps,
// each step one instruction a pair on AVX-512 (turn() takes other, slower ones there).
TOLVANE_VECTOR_BODY inline void transpose(FloatVector<16> (&rows)[16]) {
  using Floats = FloatVector<16>;
  constexpr int kFloats = 16;
  Floats t[kFloats];
  for (int i = 0; i < kFloats / 2; ++i) {
    t[2 * i] = __builtin_shufflevector(rows[2 * i], rows[2 * i + 1], 0, 16, 1, 17, 4, 20, 5, 21, 8,
                                       24, 9, 25, 12, 28, 13, 29);
    t[2 * i + 1] = __builtin_shufflevector(rows[2 * i], rows[2 * i + 1], 2, 18, 3, 19, 6, 22, 7, 23,
                                           10, 26, 11, 27, 14, 30, 15, 31);
  }
  for (int i = 0; i < kFloats / 4; ++i)
    for (int half = 0; half < 2; ++half) {
      const Floats a = t[4 * i + half], b = t[4 * i + 2 + half];
      rows[4 * i + 2 * half] =
          __builtin_shufflevector(a, b, 0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24, 25, 12, 13, 28, 29);
      rows[4 * i + 2 * half + 1] =
          __builtin_shufflevector(a, b, 2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26, 27, 14, 15, 30, 31);
    }
  for (int j = 0; j < 4; ++j)
    for (int half = 0; half < 2; ++half) {
      const Floats a = rows[8 * half + j], b = rows[8 * half + 4 + j];
      t[8 * half + j] =
          __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27);
      t[8 * half + 4 + j] =
          __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31);
    }
  for (int j = 0; j < 8; ++j) {
    const Floats a = t[j], b = t[8 + j];
    rows[j] =
        __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27);
    rows[8 + j] =
        __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31);
  }
}

// course_j[t] + (factor_j * u_j(t)) for the group's voxels j that have a drift, the
// drifts taken from their lanes W voxels by W time points at a time.
template <int W>
TOLVANE_VECTOR_BODY inline void addDrifts(const DriftGroup& group, const bool* hasDrift,
                                          const float* factors) {
  using Floats = FloatVector<W>;
  const int nT = group.basis.timePoints;
  for (int first = 0; first < group.voxels; first += W)
    for (int t = 0; t < nT; t += W) {
      Floats rows[W];
#pragma GCC unroll 16
      for (int i = 0; i < W; ++i)
        std::memcpy(&rows[i],
                    group.drifts + static_cast<std::ptrdiff_t>(t + i) * kDriftLanes + first,
                    sizeof(Floats));
      if constexpr (W == 16) {
        transpose(rows);
      } else {
        turn<W>(rows);
      }
      for (int j = 0; j < W && first + j < group.voxels; ++j) {
        if (!hasDrift[first + j]) continue;
        const float factor = factors[first + j];
        float* course = group.courses + static_cast<std::ptrdiff_t>(first + j) * nT + t;
        if (t + W <= nT) {
          Floats values;
          std::memcpy(&values, course, sizeof values);
          values = values + factor * rows[j];
          std::memcpy(course, &values, sizeof values);
        } else {
          for (int i = 0; t + i < nT; ++i) course[i] = course[i] + factor * rows[j][i];
        }
      }
    }
}

// Whether each of the group's voxels has a drift, and the factor sd / spread that
// scales it, from the sums of squared deviations in `sumOfSquares`, by lane.
inline void driftFactors(const DriftGroup& group, const double* sumOfSquares, bool* hasDrift,
                         float* factors) {
  const int nT = group.basis.timePoints;
  for (int j = 0; j < group.voxels; ++j) {
    const double spread = std::sqrt(sumOfSquares[j] / nT);
    // All coefficients 0: nothing to scale, nothing added.
    hasDrift[j] = spread != 0.0 && group.inside[j];
    factors[j] = hasDrift[j] ? static_cast<float>(group.sd / spread) : 0.0f;
  }
}

template <int W>
TOLVANE_VECTOR_BODY inline void addDriftToGroupBody(const DriftGroup& group) {
  using Halves = FloatVector<W / 2>;
  using Doubles = DoubleVector<W / 2>;
  constexpr int kDoubleVectors = kDriftLanes / (W / 2);
  const int nT = group.basis.timePoints;
  buildDrifts<W>(group);
  // The mean and the sum of squared deviations, each voxel's in time order, in double.
  // (Vectors are not returned from functions, so that no calling convention depends on
  // the instruction set.)
  const auto loadDrifts = [&](int t, int v, Doubles& values) TOLVANE_VECTOR_BODY {
    Halves floats;
    std::memcpy(&floats, group.drifts + t * kDriftLanes + v * (W / 2), sizeof floats);
    values = __builtin_convertvector(floats, Doubles);
  };
  Doubles mean[kDoubleVectors] = {}, sumOfSquares[kDoubleVectors] = {};
  for (int t = 0; t < nT; ++t)
    for (int v = 0; v < kDoubleVectors; ++v) {
      Doubles values;
      loadDrifts(t, v, values);
      mean[v] = mean[v] + values;
    }
  for (int v = 0; v < kDoubleVectors; ++v) mean[v] = mean[v] / nT;
  for (int t = 0; t < nT; ++t)
    for (int v = 0; v < kDoubleVectors; ++v) {
      Doubles values;
      loadDrifts(t, v, values);
      const Doubles deviation = values - mean[v];
      sumOfSquares[v] = sumOfSquares[v] + deviation * deviation;
    }
  double sums[kDriftLanes];
  std::memcpy(sums, sumOfSquares, sizeof sums);
  bool hasDrift[kDriftLanes];
  float factors[kDriftLanes];
  driftFactors(group, sums, hasDrift, factors);
  addDrifts<W>(group, hasDrift, factors);
}

}  // namespace

DriftBasis driftBasis(int timePoints, double trSeconds, double cutoffSeconds) {
  DriftBasis basis;
  basis.timePoints = timePoints;
  basis.stride = (timePoints + kDriftPadding - 1) / kDriftPadding * kDriftPadding;
  // Period 2 N TR / k > cutoff  <=>  k < 2 N TR / cutoff.
  const double limit = 2.0 * timePoints * trSeconds / cutoffSeconds;
  basis.functions = std::max(0, static_cast<int>(std::ceil(limit)) - 1);
  basis.functions = std::min(basis.functions, std::max(0, timePoints - 1));
  basis.values.assign(static_cast<std::size_t>(basis.functions) * basis.stride, 0.0f);
  const double pi = std::acos(-1.0);
  for (int k = 1; k <= basis.functions; ++k)
    for (int t = 0; t < timePoints; ++t)
      basis.values[static_cast<std::size_t>(k - 1) * basis.stride + t] =
          static_cast<float>(std::cos(pi * k * (2.0 * t + 1.0) / (2.0 * timePoints)));
  return basis;
}

void addDrift(const VtcGrid& grid, const DriftBasis& basis, float sd,
              const FieldKey& coefficientKey, std::int64_t firstVoxel, std::int64_t step,
              const ParallelFor& parallel, cpu::VectorPath path, const std::uint8_t* inside) {
  if (basis.functions == 0 || sd == 0.0f) return;
  const int nT = grid.timePoints, functions = basis.functions;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    // Work space, left uninitialised: every value is written before it is read.
    const auto c = std::make_unique_for_overwrite<float[]>(std::size_t{kDriftLanes} * functions);
    const auto drifts =
        std::make_unique_for_overwrite<float[]>(std::size_t{kDriftLanes} * basis.stride);
    const auto work = std::make_unique_for_overwrite<float[]>(functions);
    bool insideGroup[kDriftLanes];
    for (std::int64_t first = begin; first < end; first += kDriftLanes) {
      const int voxels = static_cast<int>(std::min<std::int64_t>(kDriftLanes, end - first));
      bool any = false;
      for (int j = 0; j < voxels; ++j) {
        insideGroup[j] = inside == nullptr || inside[firstVoxel + (first + j) * step] != 0;
        any = any || insideGroup[j];
      }
      if (!any) continue;
      groupCoefficients(coefficientKey, firstVoxel + first * step, step, voxels, functions, c.get(),
                        work.get());
      const DriftGroup group{basis,  sd,           c.get(),    grid.data + first * nT,
                             voxels, drifts.get(), insideGroup};
      onVectorPathInRegisters(path, [&](auto width) TOLVANE_VECTOR_BODY {
        addDriftToGroupBody<decltype(width)::value>(group);
      });
    }
  });
}

}  // namespace tolvane::engine
