// The int16 passes over a run's values; see int16_quantisation.h.
//
// The quantisation is a loop without branches for the vectoriser, compiled for each
// vector path through engine::onVectorPath. Each lane
// does the definition's own IEEE operations in the definition's order (a conversion to
// double, a subtraction, a multiplication by an exact inverse or a division, a
// truncation), so the paths cannot differ. The span uses the vector minimum and maximum
// instructions directly, which the vectoriser does not form from comparisons.
#include "tolvane/simulate/int16_quantisation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "engine/vector_dispatch.h"
#include "formats/threads.h"

namespace tolvane::simulate {
namespace {

using engine::onVectorPath;

// Values per thread below which a second thread costs more than it saves.
constexpr std::size_t kLeastValuesPerThread = std::size_t{1} << 20;

// Runs body(part, begin, end) over [0, count) cut into `parts` equal contiguous pieces,
// each on a thread of its own (formats/threads.h). The bodies report to their caller
// through their part's slot.
template <typename Body>
void inParts(std::size_t count, std::size_t parts, const Body& body) {
  formats::onThreads(static_cast<unsigned>(parts), [&](unsigned part) {
    body(part, count * part / parts, count * (part + 1) / parts);
  });
}

std::size_t partsFor(std::size_t count, std::size_t perPart, unsigned threads) {
  return std::clamp<std::size_t>(count / std::max<std::size_t>(perPart, 1), 1,
                                 std::max(threads, 1u));
}

// ---- The span ----

// The least and greatest of a part, and whether it holds a NaN.
struct PartSpan {
  float least;
  float greatest;
  bool unordered;
};

// The span of values[0, count) given the running extremes of `lanes` vector lanes so
// far (over values before these): the rest one at a time, then the lanes.
PartSpan finishSpan(const float* values, std::size_t count, const float* least,
                    const float* greatest, std::size_t lanes, bool unordered) {
  PartSpan span{least[0], greatest[0], unordered};
  for (std::size_t i = 0; i < count; ++i) {
    span.least = values[i] < span.least ? values[i] : span.least;
    span.greatest = values[i] > span.greatest ? values[i] : span.greatest;
    span.unordered |= values[i] != values[i];
  }
  for (std::size_t lane = 1; lane < lanes; ++lane) {
    span.least = least[lane] < span.least ? least[lane] : span.least;
    span.greatest = greatest[lane] > span.greatest ? greatest[lane] : span.greatest;
  }
  return span;
}

// The running extremes are x < m ? x : m and x > m ? x : m, which is exactly what the
// vector minimum and maximum instructions compute (the second operand when the first
// is not less, or greater); a NaN, which they pass over, is only noted. Sixteen lanes
// on AVX-512, two registers of four on SSE2.
TOLVANE_TARGET_AVX512 PartSpan partSpanAvx512(const float* values, std::size_t count) {
  __m512 least = _mm512_set1_ps(values[0]), greatest = least;
  __mmask16 unordered = 0;
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m512 x = _mm512_loadu_ps(values + i);
    least = _mm512_min_ps(x, least);
    greatest = _mm512_max_ps(x, greatest);
    unordered = static_cast<__mmask16>(unordered | _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q));
  }
  alignas(64) float leastLanes[16], greatestLanes[16];
  _mm512_store_ps(leastLanes, least);
  _mm512_store_ps(greatestLanes, greatest);
  return finishSpan(values + i, count - i, leastLanes, greatestLanes, 16, unordered != 0);
}

PartSpan partSpanPortable(const float* values, std::size_t count) {
  __m128 least[2] = {_mm_set1_ps(values[0]), _mm_set1_ps(values[0])};
  __m128 greatest[2] = {least[0], least[0]};
  __m128 unordered = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    for (int half = 0; half < 2; ++half) {
      const __m128 x = _mm_loadu_ps(values + i + 4 * half);
      least[half] = _mm_min_ps(x, least[half]);
      greatest[half] = _mm_max_ps(x, greatest[half]);
      unordered = _mm_or_ps(unordered, _mm_cmpunord_ps(x, x));
    }
  }
  alignas(16) float leastLanes[8], greatestLanes[8];
  for (int half = 0; half < 2; ++half) {
    _mm_store_ps(leastLanes + 4 * half, least[half]);
    _mm_store_ps(greatestLanes + 4 * half, greatest[half]);
  }
  return finishSpan(values + i, count - i, leastLanes, greatestLanes, 8,
                    _mm_movemask_ps(unordered) != 0);
}

// ---- The quantisation ----

// Far beyond the int16 range, and near enough that a truncation to int32 is exact.
constexpr double kMostSteps = 65536.0;

// values[0, count) quantised into out[0, count); returns nonzero when a value does not
// fit. `kDivide`: divide by `by` (the slope), else multiply by `by` (the slope's exact
// inverse, a power of two), which gives the same quotient.
template <bool kDivide>
TOLVANE_VECTOR_BODY inline std::int32_t quantiseSeries(const float* values, std::size_t count,
                                                       double inter, double by,
                                                       std::int16_t* out) {
  std::int32_t misfits = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double offset = static_cast<double>(values[i]) - inter;
    const double steps = kDivide ? offset / by : offset * by;
    // Held within +-kMostSteps so that the conversion below stays defined, a NaN at
    // -kMostSteps (std::max keeps its first argument when the comparison fails): a value
    // held there rounds outside int16 and so counts as a misfit below.
    const double bounded = std::min(kMostSteps, std::max(-kMostSteps, steps));
    // Rounded halves away from zero, as std::round: the rest after truncation is exact.
    const auto whole = static_cast<std::int32_t>(bounded);
    const double rest = bounded - static_cast<double>(whole);
    const std::int32_t q = whole + static_cast<std::int32_t>(rest >= 0.5) -
                           static_cast<std::int32_t>(rest <= -0.5);
    misfits |= static_cast<std::int32_t>(q < INT16_MIN) | static_cast<std::int32_t>(q > INT16_MAX);
    out[i] = static_cast<std::int16_t>(q);
  }
  return misfits;
}

// Voxels per tile: their quantised courses (a few tens of KB) stay in the cache while
// they are dealt out to the volumes, a whole number of cache lines into each.
constexpr std::size_t kTileVoxels = 128;

struct Tile {
  const float* values;   // the run, VTC layout
  std::size_t voxels;    // of the run
  std::size_t timePoints;
  std::size_t begin;     // the tile's voxels
  std::size_t end;
  std::int16_t* courses; // work space: kTileVoxels courses
  std::int16_t* volumes; // the output, NIfTI order
};

// Each course is read once, in order, and quantised as a whole into the work space.
template <bool kDivide>
TOLVANE_VECTOR_BODY inline std::int32_t quantiseTileBody(const Tile& tile, double inter,
                                                         double by) {
  const std::size_t nT = tile.timePoints;
  std::int32_t misfits = 0;
  for (std::size_t j = 0; j < tile.end - tile.begin; ++j) {
    misfits |= quantiseSeries<kDivide>(tile.values + (tile.begin + j) * nT, nT, inter, by,
                                       tile.courses + j * nT);
  }
  return misfits;
}

// Rows in[0, 8) of eight values each, `inStride` apart, written as the rows of their
// transpose, `outStride` apart: three rounds of interleaving, 16, 32 and 64 bits wide.
void transpose8x8(const std::int16_t* in, std::size_t inStride, std::int16_t* out,
                  std::size_t outStride) {
  __m128i a[8], b[8];
  for (std::size_t r = 0; r < 8; ++r) {
    a[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + r * inStride));
  }
  for (std::size_t r = 0; r < 8; r += 2) {
    b[r] = _mm_unpacklo_epi16(a[r], a[r + 1]);
    b[r + 1] = _mm_unpackhi_epi16(a[r], a[r + 1]);
  }
  for (std::size_t q = 0; q < 8; q += 4) {
    a[q] = _mm_unpacklo_epi32(b[q], b[q + 2]);
    a[q + 1] = _mm_unpackhi_epi32(b[q], b[q + 2]);
    a[q + 2] = _mm_unpacklo_epi32(b[q + 1], b[q + 3]);
    a[q + 3] = _mm_unpackhi_epi32(b[q + 1], b[q + 3]);
  }
  for (std::size_t c = 0; c < 4; ++c) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * c * outStride),
                     _mm_unpacklo_epi64(a[c], a[c + 4]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (2 * c + 1) * outStride),
                     _mm_unpackhi_epi64(a[c], a[c + 4]));
  }
}

// The tile's quantised courses dealt out to the volumes, one contiguous row into each:
// blocks of 8 voxels x 8 time points transposed in registers, the edges one by one.
void dealTileToVolumes(const Tile& tile) {
  const std::size_t nT = tile.timePoints, count = tile.end - tile.begin;
  const std::size_t wholeT = nT - nT % 8, wholeJ = count - count % 8;
  std::int16_t* const first = tile.volumes + tile.begin;
  for (std::size_t t = 0; t < wholeT; t += 8) {
    for (std::size_t j = 0; j < wholeJ; j += 8) {
      transpose8x8(tile.courses + j * nT + t, nT, first + t * tile.voxels + j, tile.voxels);
    }
  }
  for (std::size_t t = 0; t < nT; ++t) {
    for (std::size_t j = t < wholeT ? wholeJ : 0; j < count; ++j) {
      first[t * tile.voxels + j] = tile.courses[j * nT + t];
    }
  }
}

}  // namespace

ValueSpan valueSpan(const float* values, std::size_t count, unsigned threads,
                    cpu::VectorPath path) {
  if (count == 0) return {};
  const std::size_t parts = partsFor(count, kLeastValuesPerThread, threads);
  std::vector<PartSpan> spans(parts);
  inParts(count, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
    spans[part] = path == cpu::VectorPath::kAvx512 ? partSpanAvx512(values + begin, end - begin)
                                                   : partSpanPortable(values + begin, end - begin);
  });
  PartSpan span = spans[0];
  for (const PartSpan& other : spans) {
    span.least = std::min(span.least, other.least);
    span.greatest = std::max(span.greatest, other.greatest);
    span.unordered |= other.unordered;
  }
  // Among values of equal size only the zeros differ (-0 and +0), and which of them is
  // first or last depends on the order; a NaN breaks the order itself. Either case is
  // left to std::minmax_element, which settles it by definition.
  if (span.unordered || span.least == 0.0f || span.greatest == 0.0f) {
    const auto [least, greatest] = std::minmax_element(values, values + count);
    return {*least, *greatest};
  }
  return {span.least, span.greatest};
}

void quantiseVolumes(const formats::VtcGeometry& grid, const float* values,
                     const formats::Int16Scale& scale, std::int16_t* volumes, unsigned threads,
                     cpu::VectorPath path) {
  const std::size_t voxels = grid.voxelCount();
  const auto timePoints = static_cast<std::size_t>(grid.timePoints);
  int exponent = 0;
  const bool powerOfTwo = std::frexp(scale.slope, &exponent) == 0.5;
  const double by = powerOfTwo ? 1.0 / scale.slope : scale.slope;
  const std::size_t tiles = (voxels + kTileVoxels - 1) / kTileVoxels;
  const std::size_t parts = std::min(
      partsFor(voxels * timePoints, kLeastValuesPerThread, threads), std::max<std::size_t>(tiles, 1));
  std::vector<std::int32_t> misfits(parts, 0);
  std::vector<std::int16_t> courses(parts * kTileVoxels * timePoints);
  inParts(tiles, parts, [&](std::size_t part, std::size_t firstTile, std::size_t endTile) {
    for (std::size_t t = firstTile; t < endTile; ++t) {
      const Tile tile{values,
                      voxels,
                      timePoints,
                      t * kTileVoxels,
                      std::min((t + 1) * kTileVoxels, voxels),
                      courses.data() + part * kTileVoxels * timePoints,
                      volumes};
      onVectorPath(path, [&]() TOLVANE_VECTOR_BODY {
        misfits[part] |= powerOfTwo ? quantiseTileBody<false>(tile, scale.inter, by)
                                    : quantiseTileBody<true>(tile, scale.inter, by);
      });
      dealTileToVolumes(tile);
    }
  });
  if (std::any_of(misfits.begin(), misfits.end(), [](std::int32_t m) { return m != 0; })) {
    throw std::logic_error("a value does not fit the int16 scale chosen for it");
  }
}

}  // namespace tolvane::simulate
