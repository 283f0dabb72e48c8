// Transforms are checked against a direct DFT evaluated in double, against one another
// (fourn with one dimension against four1, realft and rlft3 against the complex
// transforms of the same real data), by round trips, and on signals with known bins.
#include "numerics/fft.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "numerics/arrays.h"

namespace {

using Complex = std::complex<double>;

// An FFT of length N accumulates about one rounding per stage on every output, each of
// the size of the largest value in flight (at most the sum of input magnitudes). The
// tolerance is therefore log2(N) + 2 FLT_EPSILON times the largest output magnitude,
// with a factor 2 for the rotation of float values by double twiddle factors (rounded
// products in four1, float twiddles in fourn).
double fftTolerance(unsigned long n, double scale) {
  return 2.0 * (std::log2(static_cast<double>(n)) + 2.0) * FLT_EPSILON * scale;
}

// Deterministic pseudo-random values in [-1, 1): no test depends on the generator.
std::vector<float> testSignal(std::size_t count, unsigned seed) {
  std::vector<float> values(count);
  unsigned state = seed;
  for (float& v : values) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>(state >> 8) / static_cast<float>(1u << 23) - 1.0f;
  }
  return values;
}

// Direct O(N^2) transform of a one-based interleaved array, in double.
std::vector<Complex> directDft(const float* data, unsigned long n, int sign) {
  std::vector<Complex> out(n);
  for (unsigned long m = 0; m < n; ++m) {
    Complex sum = 0.0;
    for (unsigned long k = 0; k < n; ++k) {
      const double angle = sign * 2.0 * M_PI * static_cast<double>((k * m) % n) / n;
      sum += Complex(data[2 * k + 1], data[2 * k + 2]) * std::polar(1.0, angle);
    }
    out[m] = sum;
  }
  return out;
}

double largestMagnitude(const std::vector<Complex>& values) {
  double largest = 0.0;
  for (const Complex& v : values) largest = std::max(largest, std::abs(v));
  return largest;
}

// One-based float vector that frees itself.
struct Vec {
  explicit Vec(unsigned long n) : n(n), v(vector(1, static_cast<long>(n))) {}
  ~Vec() { free_vector(v, 1, static_cast<long>(n)); }
  Vec(const Vec&) = delete;
  Vec& operator=(const Vec&) = delete;
  float& operator[](unsigned long i) { return v[i]; }
  unsigned long n;
  float* v;
};

}  // namespace

TEST(Four1, LeavesASinglePointUnchanged) {
  Vec data(2);
  data[1] = 3.5f;
  data[2] = -1.25f;
  four1(data.v, 1, 1);
  EXPECT_EQ(data[1], 3.5f);
  EXPECT_EQ(data[2], -1.25f);
}

TEST(Four1, TurnsAnImpulseAtZeroIntoOnesAndAnImpulseAtOneIntoThePhaseRamp) {
  constexpr unsigned long kN = 32;
  Vec data(2 * kN);
  for (int sign : {1, -1}) {
    for (unsigned long i = 1; i <= 2 * kN; ++i) data[i] = 0.0f;
    data[1] = 1.0f;
    four1(data.v, kN, sign);
    // Every butterfly adds an exact zero product: the ones are exact.
    for (unsigned long m = 0; m < kN; ++m) {
      EXPECT_EQ(data[2 * m + 1], 1.0f);
      EXPECT_EQ(data[2 * m + 2], 0.0f);
    }
    for (unsigned long i = 1; i <= 2 * kN; ++i) data[i] = 0.0f;
    data[3] = 1.0f;
    four1(data.v, kN, sign);
    for (unsigned long m = 0; m < kN; ++m) {
      const Complex expected = std::polar(1.0, sign * 2.0 * M_PI * m / kN);
      EXPECT_NEAR(data[2 * m + 1], expected.real(), fftTolerance(kN, 1.0)) << m;
      EXPECT_NEAR(data[2 * m + 2], expected.imag(), fftTolerance(kN, 1.0)) << m;
    }
  }
}

TEST(Four1, AgreesWithTheDirectTransformForBothSigns) {
  for (unsigned long n : {2ul, 4ul, 8ul, 64ul, 256ul}) {
    for (int sign : {1, -1}) {
      const std::vector<float> input = testSignal(2 * n, static_cast<unsigned>(n + sign));
      Vec data(2 * n);
      for (unsigned long i = 1; i <= 2 * n; ++i) data[i] = input[i - 1];
      const std::vector<Complex> expected = directDft(data.v, n, sign);
      four1(data.v, n, sign);
      const double tol = fftTolerance(n, largestMagnitude(expected));
      for (unsigned long m = 0; m < n; ++m) {
        ASSERT_NEAR(data[2 * m + 1], expected[m].real(), tol) << n << " " << sign << " " << m;
        ASSERT_NEAR(data[2 * m + 2], expected[m].imag(), tol) << n << " " << sign << " " << m;
      }
    }
  }
}

TEST(Four1, ForwardThenInverseReturnsTheInputTimesN) {
  constexpr unsigned long kN = 512;
  const std::vector<float> input = testSignal(2 * kN, 7);
  Vec data(2 * kN);
  for (unsigned long i = 1; i <= 2 * kN; ++i) data[i] = input[i - 1];
  four1(data.v, kN, 1);
  four1(data.v, kN, -1);
  for (unsigned long i = 1; i <= 2 * kN; ++i) {
    ASSERT_NEAR(data[i] / kN, input[i - 1], 2 * fftTolerance(kN, 1.0)) << i;
  }
}

TEST(Fourn, WithOneDimensionMatchesFour1UpToItsFloatButterflies) {
  constexpr unsigned long kN = 128;
  const std::vector<float> input = testSignal(2 * kN, 11);
  Vec a(2 * kN), b(2 * kN);
  for (unsigned long i = 1; i <= 2 * kN; ++i) a[i] = b[i] = input[i - 1];
  unsigned long dims[2] = {0, kN};
  four1(a.v, kN, -1);
  fourn(b.v, dims, 1, -1);
  double largest = 0.0;
  for (unsigned long i = 1; i <= 2 * kN; ++i) largest = std::max(largest, std::fabs(double(a[i])));
  for (unsigned long i = 1; i <= 2 * kN; ++i) {
    ASSERT_NEAR(a[i], b[i], fftTolerance(kN, largest)) << i;
  }
}

TEST(Fourn, AgreesWithTheDirectTransformWithTheLastIndexFastest) {
  // Unequal dimensions catch any mix-up of their order.
  constexpr unsigned long kD1 = 2, kD2 = 4, kD3 = 8, kTotal = kD1 * kD2 * kD3;
  const std::vector<float> input = testSignal(2 * kTotal, 3);
  Vec data(2 * kTotal);
  for (unsigned long i = 1; i <= 2 * kTotal; ++i) data[i] = input[i - 1];
  unsigned long dims[4] = {0, kD1, kD2, kD3};
  fourn(data.v, dims, 3, 1);
  std::vector<Complex> expected(kTotal);
  for (unsigned long m1 = 0; m1 < kD1; ++m1)
    for (unsigned long m2 = 0; m2 < kD2; ++m2)
      for (unsigned long m3 = 0; m3 < kD3; ++m3) {
        Complex sum = 0.0;
        for (unsigned long k1 = 0; k1 < kD1; ++k1)
          for (unsigned long k2 = 0; k2 < kD2; ++k2)
            for (unsigned long k3 = 0; k3 < kD3; ++k3) {
              const unsigned long k = (k1 * kD2 + k2) * kD3 + k3;
              const double angle =
                  2.0 * M_PI *
                  (double(k1 * m1) / kD1 + double(k2 * m2) / kD2 + double(k3 * m3) / kD3);
              sum += Complex(input[2 * k], input[2 * k + 1]) * std::polar(1.0, angle);
            }
        expected[(m1 * kD2 + m2) * kD3 + m3] = sum;
      }
  const double tol = fftTolerance(kTotal, largestMagnitude(expected));
  for (unsigned long m = 0; m < kTotal; ++m) {
    EXPECT_NEAR(data[2 * m + 1], expected[m].real(), tol) << m;
    EXPECT_NEAR(data[2 * m + 2], expected[m].imag(), tol) << m;
  }
}

TEST(Fourn, ForwardThenInverseReturnsTheInputTimesTheTotal) {
  constexpr unsigned long kTotal = 8 * 16 * 4;
  const std::vector<float> input = testSignal(2 * kTotal, 5);
  Vec data(2 * kTotal);
  for (unsigned long i = 1; i <= 2 * kTotal; ++i) data[i] = input[i - 1];
  unsigned long dims[4] = {0, 8, 16, 4};
  fourn(data.v, dims, 3, 1);
  fourn(data.v, dims, 3, -1);
  for (unsigned long i = 1; i <= 2 * kTotal; ++i) {
    ASSERT_NEAR(data[i] / kTotal, input[i - 1], 2 * fftTolerance(kTotal, 1.0)) << i;
  }
}

TEST(Realft, PacksTheTransformOfRealDataAsFour1ComputesIt) {
  constexpr unsigned long kN = 64;
  const std::vector<float> input = testSignal(kN, 9);
  Vec real(kN), full(2 * kN);
  for (unsigned long i = 1; i <= kN; ++i) {
    real[i] = input[i - 1];
    full[2 * i - 1] = input[i - 1];
    full[2 * i] = 0.0f;
  }
  realft(real.v, kN, 1);
  four1(full.v, kN, 1);
  double largest = 0.0;
  for (unsigned long i = 1; i <= 2 * kN; ++i)
    largest = std::max(largest, std::fabs(double(full[i])));
  const double tol = 2 * fftTolerance(kN, largest);
  EXPECT_NEAR(real[1], full[1], tol);       // frequency 0
  EXPECT_NEAR(real[2], full[kN + 1], tol);  // frequency n/2, real
  for (unsigned long k = 1; k < kN / 2; ++k) {
    EXPECT_NEAR(real[2 * k + 1], full[2 * k + 1], tol) << k;
    EXPECT_NEAR(real[2 * k + 2], full[2 * k + 2], tol) << k;
  }
}

TEST(Realft, OfAConstantHasOnlyTheZeroFrequency) {
  constexpr unsigned long kN = 32;
  Vec data(kN);
  for (unsigned long i = 1; i <= kN; ++i) data[i] = 0.75f;
  realft(data.v, kN, 1);
  EXPECT_NEAR(data[1], kN * 0.75f, fftTolerance(kN, kN));
  for (unsigned long i = 2; i <= kN; ++i) EXPECT_NEAR(data[i], 0.0f, fftTolerance(kN, kN)) << i;
}

TEST(Realft, ForwardThenInverseReturnsTheInputTimesHalfN) {
  for (unsigned long n : {2ul, 4ul, 16ul, 1024ul}) {
    const std::vector<float> input = testSignal(n, static_cast<unsigned>(n));
    Vec data(n);
    for (unsigned long i = 1; i <= n; ++i) data[i] = input[i - 1];
    realft(data.v, n, 1);
    realft(data.v, n, -1);
    for (unsigned long i = 1; i <= n; ++i) {
      ASSERT_NEAR(data[i] * 2.0f / n, input[i - 1], 2 * fftTolerance(n, 1.0)) << n << " " << i;
    }
  }
}

namespace {

// A contiguous len1 x len2 x len3 real array and its Nyquist matrix.
struct Real3d {
  Real3d(unsigned long l1, unsigned long l2, unsigned long l3)
      : l1(l1),
        l2(l2),
        l3(l3),
        data(f3tensor(1, l1, 1, l2, 1, l3)),
        nyquist(matrix(1, l1, 1, 2 * l2)) {}
  ~Real3d() {
    free_matrix(nyquist, 1, l1, 1, 2 * l2);
    free_f3tensor(data, 1, l1, 1, l2, 1, l3);
  }
  Real3d(const Real3d&) = delete;
  Real3d& operator=(const Real3d&) = delete;
  float* block() { return &data[1][1][1]; }
  unsigned long l1, l2, l3;
  float*** data;
  float** nyquist;
};

}  // namespace

TEST(Rlft3, PacksTheSameValuesAsFournOnTheRealDataAsComplex) {
  constexpr unsigned long kL1 = 4, kL2 = 8, kL3 = 16, kTotal = kL1 * kL2 * kL3;
  const std::vector<float> input = testSignal(kTotal, 21);
  Real3d real(kL1, kL2, kL3);
  std::memcpy(real.block(), input.data(), kTotal * sizeof(float));
  Vec full(2 * kTotal);
  for (unsigned long i = 1; i <= kTotal; ++i) {
    full[2 * i - 1] = input[i - 1];
    full[2 * i] = 0.0f;
  }
  unsigned long dims[4] = {0, kL1, kL2, kL3};
  fourn(full.v, dims, 3, 1);
  rlft3(real.data, real.nyquist, kL1, kL2, kL3, 1);
  double largest = 0.0;
  for (unsigned long i = 1; i <= 2 * kTotal; ++i)
    largest = std::max(largest, std::fabs(double(full[i])));
  const double tol = 2 * fftTolerance(kTotal, largest);
  auto at = [&](unsigned long f1, unsigned long f2, unsigned long f3) {
    const unsigned long k = (f1 * kL2 + f2) * kL3 + f3;
    return Complex(full[2 * k + 1], full[2 * k + 2]);
  };
  for (unsigned long i1 = 1; i1 <= kL1; ++i1) {
    for (unsigned long i2 = 1; i2 <= kL2; ++i2) {
      for (unsigned long k = 1; k <= kL3 / 2; ++k) {
        const Complex expected = at(i1 - 1, i2 - 1, k - 1);
        EXPECT_NEAR(real.data[i1][i2][2 * k - 1], expected.real(), tol);
        EXPECT_NEAR(real.data[i1][i2][2 * k], expected.imag(), tol);
      }
      const Complex nyq = at(i1 - 1, i2 - 1, kL3 / 2);
      EXPECT_NEAR(real.nyquist[i1][2 * i2 - 1], nyq.real(), tol);
      EXPECT_NEAR(real.nyquist[i1][2 * i2], nyq.imag(), tol);
    }
  }
}

TEST(Rlft3, ForwardThenInverseReturnsTheInputTimesHalfTheTotal) {
  constexpr unsigned long kL1 = 2, kL2 = 4, kL3 = 32, kTotal = kL1 * kL2 * kL3;
  const std::vector<float> input = testSignal(kTotal, 4);
  Real3d real(kL1, kL2, kL3);
  std::memcpy(real.block(), input.data(), kTotal * sizeof(float));
  rlft3(real.data, real.nyquist, kL1, kL2, kL3, 1);
  rlft3(real.data, real.nyquist, kL1, kL2, kL3, -1);
  for (unsigned long i = 0; i < kTotal; ++i) {
    ASSERT_NEAR(real.block()[i] * 2.0f / kTotal, input[i], 2 * fftTolerance(kTotal, 1.0)) << i;
  }
}

namespace {

// The death test's child process ends inside rlft3 without releasing anything. The
// arrays' own pointers are offset (they point before their blocks), so a leak checker
// in that child would not see them; the blocks' first elements, kept here, keep them
// reachable, and the child's error output stays rlft3's own (empty).
const void* volatile g_blocksOfTheDeathTest[6] = {};  // volatile: stores never dropped

void keepReachable(float*** data, float** nyquist, float* row) {
  g_blocksOfTheDeathTest[0] = &data[1];
  g_blocksOfTheDeathTest[1] = &data[1][1];
  g_blocksOfTheDeathTest[2] = &data[1][1][1];
  g_blocksOfTheDeathTest[3] = &nyquist[1];
  g_blocksOfTheDeathTest[4] = &nyquist[1][1];
  g_blocksOfTheDeathTest[5] = &row[1];
}

}  // namespace

TEST(Rlft3DeathTest, EndsSilentlyWithStatusOneForANonContiguousArray) {
  Real3d real(2, 2, 4);
  for (unsigned long i = 0; i < 16; ++i) real.block()[i] = 1.0f;
  // Move the last row to storage of its own: the block is no longer contiguous.
  float* row = vector(1, 4);
  keepReachable(real.data, real.nyquist, row);
  float* saved = real.data[2][2];
  real.data[2][2] = row;
  EXPECT_EXIT(rlft3(real.data, real.nyquist, 2, 2, 4, 1), ::testing::ExitedWithCode(1), "^$");
  real.data[2][2] = saved;
  // Dimensions that do not match the allocation fail the same test.
  EXPECT_EXIT(rlft3(real.data, real.nyquist, 2, 2, 2, 1), ::testing::ExitedWithCode(1), "^$");
  free_vector(row, 1, 4);
  // Nothing was changed in this process (the checks ran in child processes), and a
  // valid call still works: the constant transforms to a single zero-frequency value.
  rlft3(real.data, real.nyquist, 2, 2, 4, 1);
  EXPECT_EQ(real.data[1][1][1], 16.0f);
}
