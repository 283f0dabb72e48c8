// The scale factor of the polar method, sqrt(-2 ln r / r) for an accepted radius
// 0 < r < 1, evaluated in double from the float r and rounded to float.
//
// polarScale (random_state.h) takes the logarithm from the mathematics library; it is
// what gasdev uses. polarScales gives the same floats for arrays of radii without
// library calls, two radii at a time on the portable path, four on the AVX2 path and
// eight on the AVX-512 path (vector_path.h):
//
// ln r = k ln 2 + ln z, with z = r 2^-k in [0.699, 1.398) (in [0.6875, 1.375) on the
// wider paths), so that radii just below 1 keep k = 0 and lose nothing to
// cancellation. z falls into one of n intervals of equal width in its bit pattern; on
// interval i, ln z = -ln(invc_i) + ln(1 + t) with t = z invc_i - 1. invc_i approximates 1 / (the
// interval's centre) with 21 significant bits, so z invc_i (24 + 21 bits) and t are exact; the
// interval ending at 1 uses invc = 1, so that ln r for r near 1 is ln(1 + t) alone and stays
// accurate relative to its small size. -ln(invc_i) comes from the extended-precision logarithm,
// once, when the module is loaded; ln(1 + t) is its Taylor polynomial of degree 9. The portable
// path uses n = 128 intervals (|t| <= 2^-8); the wider paths use n = 16, whose table fits in two
// AVX-512 registers per column (|t| <= 2^-5, where the omitted terms are still below 2^-48 of ln(1
// + t)). Either way the logarithm is within 2^-47 of the exact one, relative.
//
// The portable and AVX2 paths then divide and take the square root, both correctly
// rounded. The AVX-512 path avoids these slow instructions: with L = -2 ln r,
// sqrt(L / r) = L / sqrt(L r), and 1 / sqrt(L r) comes from the processor's estimate
// (relative error below 2^-14) refined by two Newton steps to within about 2^-50.
// Every way the scale factor is within 2^-45 of the library's. A scale factor is
// rounded to float only when every double within 2^-40 of it (relative) rounds to the
// same float, so that the library's value rounds to it as well; otherwise, about once
// in 40,000 radii, polarScale decides. Subnormal radii, which practically never occur,
// also go to polarScale. The exhaustive test over every float in (0, 1) checks
// polarScales against polarScale on every path.
// Module-internal: nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::random {

namespace polar {

constexpr int kIntervalBits = 7;
constexpr int kIntervals = 1 << kIntervalBits;
constexpr std::uint32_t kReductionOrigin = 0x3F330000;  // 0.69921875f: z starts here
constexpr int kMantissaBits = 23;
constexpr int kIntervalShift = kMantissaBits - kIntervalBits;
constexpr std::uint32_t kSmallestNormal = 0x00800000;
constexpr std::uint32_t kOneBits = 0x3F800000;
constexpr double kRoundingMargin = 0x1p-40;  // relative
constexpr double kLn2 = 0x1.62e42fefa39efp-1;

struct Interval {
  double invc;  // about 1 / centre, 21 significant bits (1 for the interval ending at 1)
  double logc;  // -ln(invc)
};

struct IntervalTable {
  Interval entries[kIntervals];
};

// Built when the module is loaded, before any run can draw.
extern const IntervalTable kIntervalTable;

}  // namespace polar

// scale[i] = polarScale(r[i]), to the same float, for radii 0 < r[i] < 1, i < count.
void polarScales(const float* r, float* scale, std::size_t count,
                 cpu::VectorPath path = cpu::preferredVectorPath());

}  // namespace tolvane::random

#pragma GCC visibility pop
