// The line transforms against the discrete Fourier transform computed in double, lane by
// lane: every radix and mixtures of them, strided input, pruned output, in place, and the
// same bits on every vector path.
#include "engine/line_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace sim = tolvane::engine;
namespace cpu = tolvane::cpu;

namespace {

// Element e of lane l in a lane block `stride` floats apart.
float& realOf(std::vector<float>& data, std::size_t stride, int e, int l) {
  return data[e * stride + l];
}
float& imaginaryOf(std::vector<float>& data, std::size_t stride, int e, int l) {
  return data[e * stride + sim::kLineLanes + l];
}

}  // namespace

TEST(LineTransform, IsTheBackwardDftOfEveryLaneOnEveryPath) {
  std::mt19937 engine(7);
  std::normal_distribution<float> normal;
  for (const int n : {2, 3, 4, 5, 6, 8, 12, 20, 30, 45, 64, 72, 80, 90, 96}) {
    SCOPED_TRACE("length " + std::to_string(n));
    const sim::LineTransform transform(n);
    const std::size_t inStride = 3 * sim::kLaneBlockFloats, outStride = 2 * sim::kLaneBlockFloats;
    std::vector<float> in(n * inStride);
    for (float& value : in) value = normal(engine);
    std::vector<float> scratch(transform.scratchFloats());
    const int keep = n > 4 ? n - 3 : n;
    std::vector<std::vector<float>> outs;
    for (const cpu::VectorPath path : cpu::availableVectorPaths()) {
      std::vector<float> out(n * outStride, NAN);
      transform.run(in.data(), inStride, out.data(), outStride, keep, scratch.data(), path);
      outs.push_back(out);
      // In place, the input's own blocks receive the same outputs.
      std::vector<float> inPlace = in;
      transform.run(inPlace.data(), inStride, inPlace.data(), inStride, keep, scratch.data(), path);
      for (int e = 0; e < keep; ++e)
        EXPECT_EQ(std::memcmp(&inPlace[e * inStride], &out[e * outStride],
                              sim::kLaneBlockFloats * sizeof(float)),
                  0)
            << "element " << e << " in place, path " << cpu::nameOf(path);
    }
    for (std::size_t p = 1; p < outs.size(); ++p)
      EXPECT_EQ(std::memcmp(outs[p].data(), outs[0].data(), outs[0].size() * sizeof(float)), 0)
          << "path " << p << " differs from the portable one";
    std::vector<float>& out = outs.back();
    double worst = 0.0;
    for (int l = 0; l < sim::kLineLanes; ++l)
      for (int k = 0; k < n; ++k) {
        std::complex<double> expected = 0.0;
        for (int j = 0; j < n; ++j) {
          const double angle = 2.0 * M_PI * (static_cast<long>(j) * k % n) / n;
          expected += std::complex<double>(realOf(in, inStride, j, l), imaginaryOf(in, inStride, j, l)) *
                      std::polar(1.0, angle);
        }
        if (k >= keep) {
          EXPECT_TRUE(std::isnan(realOf(out, outStride, k, l))) << "output " << k << " was stored";
          continue;
        }
        const std::complex<double> got(realOf(out, outStride, k, l), imaginaryOf(out, outStride, k, l));
        worst = std::max(worst, std::abs(got - expected) / std::sqrt(n));
      }
    // Inputs of unit variance give outputs of sd sqrt(n); single precision's rounding over
    // log2(n) passes stays within a few units of 2^-24 of that.
    EXPECT_LT(worst, 1e-6 * std::log2(2.0 * n)) << "largest error per sqrt(n)";
  }
}

TEST(LineTransform, RefusesLengthsItCannotFactor) {
  EXPECT_THROW(sim::LineTransform(1), std::invalid_argument);
  EXPECT_THROW(sim::LineTransform(14), std::invalid_argument);
  EXPECT_NO_THROW(sim::LineTransform(2 * 3 * 5 * 4));
}
