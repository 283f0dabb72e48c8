// The interval table behind fastPolarScale; see polar_scale.h.
#include "numerics/polar_scale.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "numerics/random_state.h"

namespace tolvane::random::polar {

namespace {

IntervalTable makeIntervalTable() {
  IntervalTable table;
  for (int i = 0; i < kIntervals; ++i) {
    const std::uint32_t first = kReductionOrigin + (static_cast<std::uint32_t>(i) << kIntervalShift);
    const std::uint32_t last = first + (1u << kIntervalShift) - 1;
    float low, high;
    std::memcpy(&low, &first, sizeof low);
    std::memcpy(&high, &last, sizeof high);
    double invc = 1.0;
    if (last + 1 != kOneBits) {
      // 1 / centre, cut to 21 significant bits so that z * invc stays exact.
      const double centre = 0.5 * (static_cast<double>(low) + static_cast<double>(high));
      int exponent;
      const double fraction = std::frexp(1.0 / centre, &exponent);
      invc = std::ldexp(std::nearbyint(std::ldexp(fraction, 21)), exponent - 21);
    }
    table.entries[i] = {invc, static_cast<double>(-std::log(static_cast<long double>(invc)))};
  }
  return table;
}

}  // namespace

const IntervalTable kIntervalTable = makeIntervalTable();

namespace {

constexpr std::size_t kBlock = 256;  // radii per pass through the two stages

// ln(1 + t) for |t| <= 2^-8 by Estrin's scheme, two values at a time; the omitted
// terms are below 2^-79.
inline __m128d logOnePlus(__m128d t) {
  const auto c = [](double value) { return _mm_set1_pd(value); };
  const auto linear = [&](double constant, double slope) {
    return _mm_add_pd(c(constant), _mm_mul_pd(t, c(slope)));
  };
  const __m128d t2 = _mm_mul_pd(t, t);
  const __m128d t4 = _mm_mul_pd(t2, t2);
  const __m128d low = _mm_add_pd(linear(-1.0 / 2, 1.0 / 3), _mm_mul_pd(t2, linear(-1.0 / 4, 1.0 / 5)));
  const __m128d high = _mm_add_pd(linear(-1.0 / 6, 1.0 / 7), _mm_mul_pd(t2, linear(-1.0 / 8, 1.0 / 9)));
  return _mm_add_pd(t, _mm_mul_pd(t2, _mm_add_pd(low, _mm_mul_pd(t4, high))));
}

// One block: the table reduction radius by radius into arrays, then the arithmetic
// two radii at a time.
void scaleBlock(const float* r, float* scale, std::size_t count) {
  alignas(16) double reduced[kBlock];  // t
  alignas(16) double base[kBlock];     // k ln 2 - ln(invc)
  alignas(16) double wide[kBlock];     // r
  bool anySubnormal = false;
  for (std::size_t j = 0; j < count; ++j) {
    std::uint32_t bits;
    std::memcpy(&bits, &r[j], sizeof bits);
    if (bits < kSmallestNormal) {
      anySubnormal = true;
      bits = kOneBits - 1;  // a stand-in; polarScale decides below
    }
    const std::uint32_t offset = bits - kReductionOrigin;
    const int k = static_cast<std::int32_t>(offset) >> kMantissaBits;
    const std::uint32_t zBits = bits - (static_cast<std::uint32_t>(k) << kMantissaBits);
    float z;
    std::memcpy(&z, &zBits, sizeof z);
    const Interval& interval = kIntervalTable.entries[(offset >> kIntervalShift) & (kIntervals - 1)];
    reduced[j] = static_cast<double>(z) * interval.invc - 1.0;  // exact
    base[j] = static_cast<double>(k) * kLn2 + interval.logc;
    wide[j] = static_cast<double>(r[j]);
  }
  if (count % 2 != 0) {  // a harmless partner for the last lane
    reduced[count] = 0.0;
    base[count] = -1.0;
    wide[count] = 1.0;
  }
  const __m128d minusTwo = _mm_set1_pd(-2.0);
  const __m128d lowerMargin = _mm_set1_pd(1.0 - kRoundingMargin);
  const __m128d upperMargin = _mm_set1_pd(1.0 + kRoundingMargin);
  alignas(16) float rounded[kBlock + 2];
  for (std::size_t j = 0; j < count; j += 2) {
    const __m128d logR = _mm_add_pd(_mm_load_pd(&base[j]), logOnePlus(_mm_load_pd(&reduced[j])));
    const __m128d s = _mm_sqrt_pd(_mm_div_pd(_mm_mul_pd(logR, minusTwo), _mm_load_pd(&wide[j])));
    const __m128 below = _mm_cvtpd_ps(_mm_mul_pd(s, lowerMargin));
    const __m128 above = _mm_cvtpd_ps(_mm_mul_pd(s, upperMargin));
    _mm_storel_pi(reinterpret_cast<__m64*>(&rounded[j]), below);
    const int undecided = _mm_movemask_ps(_mm_cmpneq_ps(below, above)) & 3;
    if (undecided != 0) {
      for (std::size_t lane = 0; lane < 2 && j + lane < count; ++lane)
        if (((undecided >> lane) & 1) != 0) rounded[j + lane] = polarScale(r[j + lane]);
    }
  }
  std::memcpy(scale, rounded, count * sizeof(float));
  if (anySubnormal) {
    for (std::size_t j = 0; j < count; ++j)
      if (!(r[j] >= std::numeric_limits<float>::min())) scale[j] = polarScale(r[j]);
  }
}

}  // namespace

}  // namespace tolvane::random::polar

namespace tolvane::random {

void polarScales(const float* r, float* scale, std::size_t count) {
  for (std::size_t done = 0; done < count; done += polar::kBlock)
    polar::scaleBlock(r + done, scale + done, std::min(polar::kBlock, count - done));
}

}  // namespace tolvane::random
