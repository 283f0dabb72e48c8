// The int16 passes against their definitions evaluated one value at a time: every
// vector path (and, for the span, every split over threads) gives the definition's
// values, at the values where a rounding can go wrong (ties, the ends of the int16
// range, zeros of either sign) and on noise, in pieces whose sizes fit no vector.
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

// The definition: q = round((value - inter) / slope) in double, halves away from zero.
std::int16_t definition(float value, const formats::Int16Scale& scale) {
  return static_cast<std::int16_t>(
      std::round((static_cast<double>(value) - scale.inter) / scale.slope));
}

// Noise around `inter`, with the hard cases among it every so often: ties either side of
// zero, their float neighbours, the two ends of the range and just inside their halves,
// and zeros of either sign.
std::vector<float> valuesFor(std::size_t count, const formats::Int16Scale& scale) {
  std::vector<float> values(count);
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
  for (std::size_t i = 0; i < count; i += 3) values[i] = hard[i / 3 % hard.size()];
  return values;
}

// Courses of every length up to a few vectors' worth, starting at every alignment, as
// the file's writer asks for them.
TEST(Int16Quantisation, EveryPathGivesTheDefinitionsValuesForPiecesOfEveryLengthAndPlace) {
  // A power-of-two step (multiplied by its inverse) and another (divided by), with
  // inter 0 for the zeros' sake and inter off zero.
  for (const formats::Int16Scale scale : {formats::Int16Scale{0.25, 0.0},
                                          formats::Int16Scale{0.25, 99.5},
                                          formats::Int16Scale{0.3464101615137755, 8598.59}}) {
    const std::vector<float> values = valuesFor(4096, scale);
    for (const VectorPath path : cpu::availableVectorPaths()) {
      const Int16Quantiser quantise(scale, path);
      std::size_t wrong = 0;
      std::vector<std::int16_t> out(values.size() + 1);
      for (std::size_t first = 0; first < 17; ++first) {
        for (std::size_t count = 0; count < 70; ++count) {
          out.assign(out.size(), 12345);
          quantise(values.data() + first, count, out.data() + 1);
          for (std::size_t i = 0; i < count; ++i)
            wrong += out[1 + i] != definition(values[first + i], scale);
          wrong += out[0] != 12345 || out[1 + count] != 12345;  // nothing outside
        }
      }
      quantise(values.data(), values.size(), out.data());
      for (std::size_t i = 0; i < values.size(); ++i)
        wrong += out[i] != definition(values[i], scale);
      EXPECT_EQ(wrong, 0u) << cpu::nameOf(path) << ", slope " << scale.slope << ", inter "
                           << scale.inter;
    }
  }
}

TEST(Int16Quantisation, AValueBeyondTheRangeOrANanIsALogicErrorOnEveryPath) {
  const formats::Int16Scale scale{0.25, 0.0};
  for (const VectorPath path : cpu::availableVectorPaths()) {
    const Int16Quantiser quantise(scale, path);
    for (const float misfit : {32767.5f * 0.25f, -32768.5f * 0.25f, 1e30f,
                               std::numeric_limits<float>::quiet_NaN()}) {
      // Among the vectorised values and among the last, and alone.
      for (const std::size_t count : {std::size_t{1}, std::size_t{37}}) {
        std::vector<float> values(count, 1.0f);
        values[count / 2] = misfit;
        std::vector<std::int16_t> out(count);
        EXPECT_THROW(quantise(values.data(), count, out.data()), std::logic_error)
            << cpu::nameOf(path) << ", " << misfit << ", " << count << " values";
      }
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
  std::vector<float> values(50 * 41 * 13 * 83 + 3);
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
