// The scale factors of the polar method for arrays of radii; see polar_scale.h.
#include "numerics/polar_scale.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "numerics/random_state.h"

namespace tolvane::random::polar {

namespace {

// Interval i of 2^intervalBits parts of equal width, in the bit pattern, of the
// reduction range [origin, 2 origin).
Interval makeInterval(std::uint32_t origin, int intervalBits, int i) {
  const int shift = kMantissaBits - intervalBits;
  const std::uint32_t first = origin + (static_cast<std::uint32_t>(i) << shift);
  const std::uint32_t last = first + (1u << shift) - 1;
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
  return {invc, static_cast<double>(-std::log(static_cast<long double>(invc)))};
}

IntervalTable makeIntervalTable() {
  IntervalTable table;
  for (int i = 0; i < kIntervals; ++i)
    table.entries[i] = makeInterval(kReductionOrigin, kIntervalBits, i);
  return table;
}

// The wider paths' coarser table: 16 intervals, which fit two AVX-512 registers per
// column and so are looked up by permutation (|t| <= 2^-5). Its reduction range
// starts at 0.6875 so that an interval ends at 1.
constexpr int kCoarseIntervalBits = 4;
constexpr int kCoarseIntervals = 1 << kCoarseIntervalBits;
constexpr std::uint32_t kCoarseReductionOrigin = 0x3F300000;  // 0.6875f

// An interval must end at 1, or radii just below 1 would lose their logarithm to
// cancellation between -ln(invc) and ln(1 + t).
constexpr bool oneEndsAnInterval(std::uint32_t origin, int intervalBits) {
  return (kOneBits - origin) % (1u << (kMantissaBits - intervalBits)) == 0;
}
static_assert(oneEndsAnInterval(kReductionOrigin, kIntervalBits));
static_assert(oneEndsAnInterval(kCoarseReductionOrigin, kCoarseIntervalBits));

struct CoarseIntervalTable {
  alignas(64) double invc[kCoarseIntervals];
  alignas(64) double logc[kCoarseIntervals];
};

CoarseIntervalTable makeCoarseIntervalTable() {
  CoarseIntervalTable table;
  for (int i = 0; i < kCoarseIntervals; ++i) {
    const Interval interval = makeInterval(kCoarseReductionOrigin, kCoarseIntervalBits, i);
    table.invc[i] = interval.invc;
    table.logc[i] = interval.logc;
  }
  return table;
}

const CoarseIntervalTable kCoarseIntervalTable = makeCoarseIntervalTable();

}  // namespace

const IntervalTable kIntervalTable = makeIntervalTable();

namespace {

constexpr std::size_t kBlock = 256;  // radii per pass through the two stages

// The Taylor polynomial of degree 9 of ln(1 + t), as every path evaluates it by
// Estrin's scheme: t + t^2 ((f0 + t^2 f1) + t^4 (f2 + t^2 f3)) with the linear factors
// fi = constant + slope t below. One table, so the paths cannot drift apart.
struct LinearFactor {
  double constant;
  double slope;
};
constexpr LinearFactor kLogOnePlusFactors[4] = {
    {-1.0 / 2, 1.0 / 3}, {-1.0 / 4, 1.0 / 5}, {-1.0 / 6, 1.0 / 7}, {-1.0 / 8, 1.0 / 9}};

// ln(1 + t) for |t| <= 2^-8, two values at a time; the omitted terms are below 2^-79.
inline __m128d logOnePlus(__m128d t) {
  const auto linear = [&](const LinearFactor& f) {
    return _mm_add_pd(_mm_set1_pd(f.constant), _mm_mul_pd(t, _mm_set1_pd(f.slope)));
  };
  const LinearFactor* f = kLogOnePlusFactors;
  const __m128d t2 = _mm_mul_pd(t, t);
  const __m128d t4 = _mm_mul_pd(t2, t2);
  const __m128d low = _mm_add_pd(linear(f[0]), _mm_mul_pd(t2, linear(f[1])));
  const __m128d high = _mm_add_pd(linear(f[2]), _mm_mul_pd(t2, linear(f[3])));
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
    const Interval& interval =
        kIntervalTable.entries[(offset >> kIntervalShift) & (kIntervals - 1)];
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

// logOnePlus, eight values at a time, for |t| <= 2^-5: the omitted terms are then
// below 2^-48 relative to ln(1 + t). (Lambdas would not inherit the target.)
TOLVANE_TARGET_AVX512 inline __m512d logOnePlusAvx512(__m512d t) {
  const __m512d t2 = _mm512_mul_pd(t, t);
  const __m512d t4 = _mm512_mul_pd(t2, t2);
  const __m512d c2 = _mm512_add_pd(_mm512_set1_pd(kLogOnePlusFactors[0].constant),
                                   _mm512_mul_pd(t, _mm512_set1_pd(kLogOnePlusFactors[0].slope)));
  const __m512d c4 = _mm512_add_pd(_mm512_set1_pd(kLogOnePlusFactors[1].constant),
                                   _mm512_mul_pd(t, _mm512_set1_pd(kLogOnePlusFactors[1].slope)));
  const __m512d c6 = _mm512_add_pd(_mm512_set1_pd(kLogOnePlusFactors[2].constant),
                                   _mm512_mul_pd(t, _mm512_set1_pd(kLogOnePlusFactors[2].slope)));
  const __m512d c8 = _mm512_add_pd(_mm512_set1_pd(kLogOnePlusFactors[3].constant),
                                   _mm512_mul_pd(t, _mm512_set1_pd(kLogOnePlusFactors[3].slope)));
  const __m512d low = _mm512_add_pd(c2, _mm512_mul_pd(t2, c4));
  const __m512d high = _mm512_add_pd(c6, _mm512_mul_pd(t2, c8));
  return _mm512_add_pd(t, _mm512_mul_pd(t2, _mm512_add_pd(low, _mm512_mul_pd(t4, high))));
}

// -2 ln r for up to eight radii (the lanes of live), as doubles. Lanes past the end
// and subnormal radii compute with a stand-in radius, just below 1; the subnormal
// ones are reported, for polarScale to decide.
TOLVANE_TARGET_AVX512 inline __m512d minusTwoLogAvx512(const float* r, __mmask8 live, __m512d& wide,
                                                       __mmask8& subnormal) {
  const __m256i loaded = _mm256_maskz_loadu_epi32(live, r);
  subnormal = _mm256_mask_cmplt_epu32_mask(live, loaded, _mm256_set1_epi32(kSmallestNormal));
  const __m256i bits = _mm256_mask_mov_epi32(loaded, static_cast<__mmask8>(~live | subnormal),
                                             _mm256_set1_epi32(kOneBits - 1));
  const __m256i offset = _mm256_sub_epi32(bits, _mm256_set1_epi32(kCoarseReductionOrigin));
  const __m256i k = _mm256_srai_epi32(offset, kMantissaBits);
  const __m256i zBits = _mm256_sub_epi32(bits, _mm256_slli_epi32(k, kMantissaBits));
  const __m512i entry = _mm512_cvtepu32_epi64(
      _mm256_srli_epi32(_mm256_slli_epi32(offset, 32 - kMantissaBits), 32 - kCoarseIntervalBits));
  const CoarseIntervalTable& table = kCoarseIntervalTable;
  const __m512d invc =
      _mm512_permutex2var_pd(_mm512_load_pd(table.invc), entry, _mm512_load_pd(table.invc + 8));
  const __m512d logc =
      _mm512_permutex2var_pd(_mm512_load_pd(table.logc), entry, _mm512_load_pd(table.logc + 8));

  const __m512d t = _mm512_sub_pd(_mm512_mul_pd(_mm512_cvtps_pd(_mm256_castsi256_ps(zBits)), invc),
                                  _mm512_set1_pd(1.0));  // exact
  const __m512d base =
      _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi32_pd(k), _mm512_set1_pd(kLn2)), logc);
  wide = _mm512_cvtps_pd(_mm256_castsi256_ps(bits));
  return _mm512_mul_pd(_mm512_add_pd(base, logOnePlusAvx512(t)), _mm512_set1_pd(-2.0));
}

// The scale factors from -2 ln r and r: sqrt(L / r) = L / sqrt(L r), from one
// estimate of 1 / sqrt(L r) and two Newton steps, rounded to float where the rounding
// is certain; the other lanes, and the subnormal ones, are left to polarScale.
TOLVANE_TARGET_AVX512 inline void finishAvx512(__m512d minusTwoLog, __m512d wide,
                                               __mmask8 subnormal, const float* r, float* scale,
                                               __mmask8 live) {
  const __m512d product = _mm512_mul_pd(minusTwoLog, wide);
  const __m512d halfProduct = _mm512_mul_pd(product, _mm512_set1_pd(0.5));
  const __m512d threeHalves = _mm512_set1_pd(1.5);
  __m512d inverseRoot = _mm512_rsqrt14_pd(product);
  for (int step = 0; step < 2; ++step) {
    const __m512d square = _mm512_mul_pd(inverseRoot, inverseRoot);
    inverseRoot =
        _mm512_mul_pd(inverseRoot, _mm512_sub_pd(threeHalves, _mm512_mul_pd(halfProduct, square)));
  }
  const __m512d s = _mm512_mul_pd(minusTwoLog, inverseRoot);

  const __m256 below = _mm512_cvtpd_ps(_mm512_mul_pd(s, _mm512_set1_pd(1.0 - kRoundingMargin)));
  const __m256 above = _mm512_cvtpd_ps(_mm512_mul_pd(s, _mm512_set1_pd(1.0 + kRoundingMargin)));
  _mm256_mask_storeu_ps(scale, live, below);
  unsigned undecided = _mm256_mask_cmp_ps_mask(live, below, above, _CMP_NEQ_UQ) | subnormal;
  for (; undecided != 0; undecided &= undecided - 1) {
    const int lane = __builtin_ctz(undecided);
    scale[lane] = polarScale(r[lane]);
  }
}

// Groups of eight in rounds of kRound: the logarithms of a round first, then its
// square roots, so that each loop's dependency chains are short enough for many
// groups to be in flight at once.
TOLVANE_TARGET_AVX512 void scalesAvx512(const float* r, float* scale, std::size_t count) {
  constexpr std::size_t kRound = 8;  // groups
  __m512d logs[kRound], wides[kRound];
  __mmask8 subnormals[kRound], lives[kRound];
  for (std::size_t start = 0; start < count; start += 8 * kRound) {
    const std::size_t groups = std::min(kRound, (count - start + 7) / 8);
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t first = start + 8 * g;
      lives[g] = count - first >= 8 ? 0xFF : static_cast<__mmask8>((1u << (count - first)) - 1);
      logs[g] = minusTwoLogAvx512(r + first, lives[g], wides[g], subnormals[g]);
    }
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t first = start + 8 * g;
      finishAvx512(logs[g], wides[g], subnormals[g], r + first, scale + first, lives[g]);
    }
  }
}

// logOnePlus, four values at a time, for |t| <= 2^-5.
TOLVANE_TARGET_AVX2 inline __m256d logOnePlusAvx2(__m256d t) {
  const __m256d t2 = _mm256_mul_pd(t, t);
  const __m256d t4 = _mm256_mul_pd(t2, t2);
  const __m256d c2 = _mm256_add_pd(_mm256_set1_pd(kLogOnePlusFactors[0].constant),
                                   _mm256_mul_pd(t, _mm256_set1_pd(kLogOnePlusFactors[0].slope)));
  const __m256d c4 = _mm256_add_pd(_mm256_set1_pd(kLogOnePlusFactors[1].constant),
                                   _mm256_mul_pd(t, _mm256_set1_pd(kLogOnePlusFactors[1].slope)));
  const __m256d c6 = _mm256_add_pd(_mm256_set1_pd(kLogOnePlusFactors[2].constant),
                                   _mm256_mul_pd(t, _mm256_set1_pd(kLogOnePlusFactors[2].slope)));
  const __m256d c8 = _mm256_add_pd(_mm256_set1_pd(kLogOnePlusFactors[3].constant),
                                   _mm256_mul_pd(t, _mm256_set1_pd(kLogOnePlusFactors[3].slope)));
  const __m256d low = _mm256_add_pd(c2, _mm256_mul_pd(t2, c4));
  const __m256d high = _mm256_add_pd(c6, _mm256_mul_pd(t2, c8));
  return _mm256_add_pd(t, _mm256_mul_pd(t2, _mm256_add_pd(low, _mm256_mul_pd(t4, high))));
}

// Four radii on the AVX2 path: the logarithm as on the AVX-512 path, except that the
// table is gathered; then, as on the portable path, the correctly rounded division
// and square root, which on 256-bit vectors beat an estimate refined by Newton steps.
struct LogsAvx2 {
  __m256d minusTwoLog;
  __m256d wide;
  int subnormal;  // lane mask
};

TOLVANE_TARGET_AVX2 inline LogsAvx2 minusTwoLogAvx2(const float* r) {
  const __m128i loaded = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
  // Radii are positive, so their bit patterns compare as signed integers.
  const __m128i subnormal = _mm_cmplt_epi32(loaded, _mm_set1_epi32(kSmallestNormal));
  const __m128i bits = _mm_blendv_epi8(loaded, _mm_set1_epi32(kOneBits - 1), subnormal);
  const __m128i offset = _mm_sub_epi32(bits, _mm_set1_epi32(kCoarseReductionOrigin));
  const __m128i k = _mm_srai_epi32(offset, kMantissaBits);
  const __m128i zBits = _mm_sub_epi32(bits, _mm_slli_epi32(k, kMantissaBits));
  const __m128i entry =
      _mm_srli_epi32(_mm_slli_epi32(offset, 32 - kMantissaBits), 32 - kCoarseIntervalBits);
  const __m256d invc = _mm256_i32gather_pd(kCoarseIntervalTable.invc, entry, 8);
  const __m256d logc = _mm256_i32gather_pd(kCoarseIntervalTable.logc, entry, 8);
  const __m256d t = _mm256_sub_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_castsi128_ps(zBits)), invc),
                                  _mm256_set1_pd(1.0));  // exact
  const __m256d base =
      _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(k), _mm256_set1_pd(kLn2)), logc);
  return {_mm256_mul_pd(_mm256_add_pd(base, logOnePlusAvx2(t)), _mm256_set1_pd(-2.0)),
          _mm256_cvtps_pd(_mm_castsi128_ps(bits)), _mm_movemask_ps(_mm_castsi128_ps(subnormal))};
}

TOLVANE_TARGET_AVX2 inline void finishAvx2(const LogsAvx2& logs, const float* r, float* scale) {
  const __m256d s = _mm256_sqrt_pd(_mm256_div_pd(logs.minusTwoLog, logs.wide));
  const __m128 below = _mm256_cvtpd_ps(_mm256_mul_pd(s, _mm256_set1_pd(1.0 - kRoundingMargin)));
  const __m128 above = _mm256_cvtpd_ps(_mm256_mul_pd(s, _mm256_set1_pd(1.0 + kRoundingMargin)));
  _mm_storeu_ps(scale, below);
  unsigned undecided =
      static_cast<unsigned>(_mm_movemask_ps(_mm_cmpneq_ps(below, above)) | logs.subnormal);
  for (; undecided != 0; undecided &= undecided - 1) {
    const int lane = __builtin_ctz(undecided);
    scale[lane] = polarScale(r[lane]);
  }
}

// Groups of four in rounds, as scalesAvx512 does; a last group of fewer than four
// radii is padded with a harmless radius.
TOLVANE_TARGET_AVX2 void scalesAvx2(const float* r, float* scale, std::size_t count) {
  constexpr std::size_t kRound = 8;  // groups
  LogsAvx2 logs[kRound];
  const std::size_t whole = count / 4 * 4;
  for (std::size_t start = 0; start < whole; start += 4 * kRound) {
    const std::size_t groups = std::min(kRound, (whole - start) / 4);
    for (std::size_t g = 0; g < groups; ++g) logs[g] = minusTwoLogAvx2(r + start + 4 * g);
    for (std::size_t g = 0; g < groups; ++g)
      finishAvx2(logs[g], r + start + 4 * g, scale + start + 4 * g);
  }
  if (whole < count) {
    float radii[4] = {0.5f, 0.5f, 0.5f, 0.5f}, scales[4];
    std::copy(r + whole, r + count, radii);
    finishAvx2(minusTwoLogAvx2(radii), radii, scales);
    std::copy(scales, scales + (count - whole), scale + whole);
  }
}

}  // namespace

}  // namespace tolvane::random::polar

namespace tolvane::random {

void polarScales(const float* r, float* scale, std::size_t count, cpu::VectorPath path) {
  if (path == cpu::VectorPath::kAvx512) {
    polar::scalesAvx512(r, scale, count);
    return;
  }
  if (path == cpu::VectorPath::kAvx2) {
    polar::scalesAvx2(r, scale, count);
    return;
  }
  for (std::size_t done = 0; done < count; done += polar::kBlock)
    polar::scaleBlock(r + done, scale + done, std::min(polar::kBlock, count - done));
}

}  // namespace tolvane::random
