// The int16 passes against their definitions evaluated one value at a time: every
// vector path and every split over threads gives the definition's values, at the
// values where a rounding can go wrong (ties, the ends of the int16 range, zeros of
// either sign) and on noise, in grids whose sizes fit no vector or tile evenly.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "tolvane/simulate/int16_quantisation.h"

namespace tolvane::simulate {
namespace {

using cpu::VectorPath;

// 50 x 41 x 13 voxels of 83 volumes: 2.2 million values, enough for two threads.
formats::VtcGeometry oddGrid() {
  formats::VtcGeometry grid;
  grid.xEnd = 50;
  grid.yEnd = 41;
  grid.zEnd = 13;
  grid.timePoints = 83;
  return grid;
}

// The definition: q = round((value - inter) / slope) in double, halves away from zero.
std::int16_t definition(float value, const formats::Int16Scale& scale) {
  return static_cast<std::int16_t>(
      std::round((static_cast<double>(value) - scale.inter) / scale.slope));
}

// Noise around `inter`, with the hard cases written over the first values of every
// voxel's course: ties either side of zero, their float neighbours, the two ends of
// the range and just inside their halves, and zeros of either sign.
std::vector<float> valuesFor(const formats::VtcGeometry& grid, const formats::Int16Scale& scale) {
  std::vector<float> values(grid.valueCount());
  std::mt19937 generator(7);
  std::normal_distribution<float> noise(static_cast<float>(scale.inter), 40.0f);
  for (float& value : values) value = noise(generator);
  const auto at = [&](double steps) { return static_cast<float>(scale.inter + steps * scale.slope); };
  std::vector<float> hard = {at(0.5),     at(-0.5),     at(2.5),   at(-2.5),  at(1000.5),
                             at(-1000.5), at(32767.0),  at(-32768.0), at(32767.49),
                             at(-32768.49), -0.0f,      0.0f};
  for (const float tie : {at(0.5), at(-0.5), at(2.5), at(-2.5)}) {
    hard.push_back(std::nextafter(tie, 0.0f));
    hard.push_back(std::nextafter(tie, tie * 2.0f));
  }
  const auto timePoints = static_cast<std::size_t>(grid.timePoints);
  for (std::size_t v = 0; v < grid.voxelCount(); v += 3) {
    for (std::size_t i = 0; i < hard.size() && i < timePoints; ++i) {
      values[v * timePoints + (i + v) % timePoints] = hard[i];
    }
  }
  return values;
}

TEST(Int16Quantisation, EveryPathAndSplitGivesTheDefinitionsValuesInVolumeOrder) {
  const formats::VtcGeometry grid = oddGrid();
  const std::size_t voxels = grid.voxelCount();
  const auto timePoints = static_cast<std::size_t>(grid.timePoints);
  // A power-of-two step (multiplied by its inverse) and another (divided by), with
  // inter 0 for the zeros' sake and inter off zero.
  for (const formats::Int16Scale scale : {formats::Int16Scale{0.25, 0.0},
                                          formats::Int16Scale{0.25, 99.5},
                                          formats::Int16Scale{0.3464101615137755, 8598.59}}) {
    const std::vector<float> values = valuesFor(grid, scale);
    for (const VectorPath path : cpu::availableVectorPaths()) {
      for (const unsigned threads : {1u, 3u}) {
        std::vector<std::int16_t> volumes(values.size());
        quantiseVolumes(grid, values.data(), scale, volumes.data(), threads, path);
        std::size_t wrong = 0;
        for (std::size_t v = 0; v < voxels; ++v) {
          for (std::size_t t = 0; t < timePoints; ++t) {
            wrong += volumes[t * voxels + v] != definition(values[v * timePoints + t], scale);
          }
        }
        EXPECT_EQ(wrong, 0u) << cpu::nameOf(path) << ", " << threads << " threads, slope "
                             << scale.slope << ", inter " << scale.inter;
      }
    }
  }
}

TEST(Int16Quantisation, AValueBeyondTheRangeOrANanIsALogicErrorOnEveryPath) {
  formats::VtcGeometry grid = oddGrid();
  grid.timePoints = 3;
  const formats::Int16Scale scale{0.25, 0.0};
  for (const VectorPath path : cpu::availableVectorPaths()) {
    for (const float misfit : {32767.5f * 0.25f, -32768.5f * 0.25f, 1e30f,
                               std::numeric_limits<float>::quiet_NaN()}) {
      std::vector<float> values(grid.valueCount(), 1.0f);
      values[values.size() / 2 + 1] = misfit;
      std::vector<std::int16_t> volumes(values.size());
      EXPECT_THROW(quantiseVolumes(grid, values.data(), scale, volumes.data(), 1, path),
                   std::logic_error)
          << cpu::nameOf(path) << ", " << misfit;
    }
  }
}

// The span compared bit for bit, so that a zero's sign counts.
void expectSpanOfMinmaxElement(const std::vector<float>& values, const char* what) {
  const auto [least, greatest] = std::minmax_element(values.begin(), values.end());
  for (const VectorPath path : cpu::availableVectorPaths()) {
    for (const unsigned threads : {1u, 3u}) {
      const ValueSpan span = valueSpan(values.data(), values.size(), threads, path);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(span.least), std::bit_cast<std::uint32_t>(*least))
          << what << ", " << cpu::nameOf(path) << ", " << threads << " threads";
      EXPECT_EQ(std::bit_cast<std::uint32_t>(span.greatest),
                std::bit_cast<std::uint32_t>(*greatest))
          << what << ", " << cpu::nameOf(path) << ", " << threads << " threads";
    }
  }
}

TEST(Int16Quantisation, TheSpanIsMinmaxElementsOnEveryPathAndSplit) {
  // 2.2 million values and 3, so that neither the lanes nor the threads divide them.
  std::vector<float> values(oddGrid().valueCount() + 3);
  std::mt19937 generator(11);
  std::normal_distribution<float> noise(100.0f, 5.0f);
  for (float& value : values) value = noise(generator);
  values[values.size() - 1] = 200.0f;  // the extremes among the last, unvectorised values
  values[values.size() - 2] = 1.0f;
  expectSpanOfMinmaxElement(values, "noise");

  // Zeros of both signs as the greatest value: minmax_element keeps the last of them.
  for (float& value : values) value = -std::fabs(value);
  values[5] = 0.0f;
  values[1000001] = -0.0f;
  expectSpanOfMinmaxElement(values, "zeros");
  values[1000001] = 0.0f;
  values[5] = -0.0f;
  expectSpanOfMinmaxElement(values, "zeros swapped");

  // A NaN at the start, where minmax_element keeps it as both ends.
  values[0] = std::numeric_limits<float>::quiet_NaN();
  expectSpanOfMinmaxElement(values, "NaN first");
}

}  // namespace
}  // namespace tolvane::simulate
