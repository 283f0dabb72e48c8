// The ring of time rows; conventions in line_ring.h.
//
// A round's lines are written by transposing the ring: for a group of voxels side by
// side in the rows, the 32 rows of rounds r - 1 and r are loaded and transposed in
// registers, so that each voxel holds its 32 values of the two rounds, from which its
// line, 16 values from its phase q on, is picked and stored. AVX-512 takes 16 voxels at
// a time and stores heads and tails masked; AVX2 takes 8. The portable path, and the
// voxels left over after the last whole group, collect their values one by one. Only
// values move, so every path stores the same bits.
#include "simulation/line_ring.h"

#include <algorithm>

namespace tolvane::simulation {

namespace {

constexpr int kLine = LineRing::kLineValues;
constexpr int kWindow = 2 * kLine;  // values of a voxel in two successive rounds

// q, the number of values before the first line boundary of a course starting here.
inline int headLength(const float* course) {
  return kLine -
         static_cast<int>((reinterpret_cast<std::uintptr_t>(course) / sizeof(float)) % kLine);
}

// What round r stores. Its window is time points [16 r - 16, 16 r + 16), window index
// k for time point 16 r - 16 + k: the rows of round r - 1 (none in round 0) and of
// round r. Each voxel stores the span of its window from `from` to `to`, which is
//   round 0:   [16, 16 + q)        its head
//   round >= 1: [q, q + 16)        its line r
// and in the last round everything from there up to the last time point. A span
// crosses at most one of the voxel's line boundaries, at q + 16; what lies before it
// is a whole line exactly when it holds 16 values.
struct Round {
  const float* previous;  // window index k < 16 in previous[k * pitch]; none in round 0
  const float* current;   // k >= 16 in current[(k - 16) * pitch]
  std::int64_t pitch;
  float* courses;
  int timePoints;
  int round;
  bool last;

  int windowStart() const { return kLine * round - kLine; }  // time point of k = 0
  int from(int q) const { return round == 0 ? kLine : q; }
  int to(int q) const { return last ? timePoints - windowStart() : q + kLine; }
  float* course(std::int64_t voxel) const { return courses + voxel * timePoints; }
};

// Stores window values [k0, k1) of a voxel, held in memory, at their time points: a
// whole line with non-temporal stores, anything less value by value.
inline void storePiece(const float* window, int k0, int k1, float* course, int windowStart) {
  float* destination = course + windowStart + k0;
  if (k1 - k0 == kLine) {
    for (int i = 0; i < kLine; i += 4)
      _mm_stream_ps(destination + i, _mm_loadu_ps(window + k0 + i));
  } else {
    for (int k = k0; k < k1; ++k) destination[k - k0] = window[k];
  }
}

// Stores a voxel's span, its window in memory (only the span need be there).
inline void storeSpan(const Round& round, const float* window, float* course, int q) {
  const int from = round.from(q), to = round.to(q), split = q + kLine;
  storePiece(window, from, std::min(to, split), course, round.windowStart());
  if (to > split) storePiece(window, split, to, course, round.windowStart());
}

// One voxel's span, its window collected value by value: the portable path's way,
// and every path's for the voxels after its last whole group.
void storeSpanOfVoxel(const Round& round, std::int64_t voxel) {
  float* course = round.course(voxel);
  const int q = headLength(course);
  float window[kWindow];
  for (int k = round.from(q); k < round.to(q); ++k)
    window[k] = k < kLine ? round.previous[k * round.pitch + voxel]
                          : round.current[(k - kLine) * round.pitch + voxel];
  storeSpan(round, window, course, q);
}

// Transposes a 16 x 16 block: row k, lane j becomes row j, lane k.
TOLVANE_TARGET_AVX512 __attribute__((always_inline)) inline void transpose16(__m512 (&r)[16]) {
  __m512 t[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
  }
  // r[4a + b], in 128-bit lane l, now holds lane 4 l + b of rows 4a .. 4a + 3.
#pragma GCC unroll 16
  for (int i = 0; i < 16; i += 4) {
    r[i] = _mm512_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
    r[i + 1] = _mm512_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
    r[i + 2] = _mm512_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
    r[i + 3] = _mm512_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  // Gather the 128-bit lanes: first lanes 0 and 2, 1 and 3 of rows 0-7 and 8-15, then
  // all four of a column.
#pragma GCC unroll 4
  for (int b = 0; b < 4; ++b) {
    t[b] = _mm512_shuffle_f32x4(r[b], r[4 + b], _MM_SHUFFLE(2, 0, 2, 0));
    t[4 + b] = _mm512_shuffle_f32x4(r[b], r[4 + b], _MM_SHUFFLE(3, 1, 3, 1));
    t[8 + b] = _mm512_shuffle_f32x4(r[8 + b], r[12 + b], _MM_SHUFFLE(2, 0, 2, 0));
    t[12 + b] = _mm512_shuffle_f32x4(r[8 + b], r[12 + b], _MM_SHUFFLE(3, 1, 3, 1));
  }
#pragma GCC unroll 4
  for (int b = 0; b < 4; ++b) {
    r[b] = _mm512_shuffle_f32x4(t[b], t[8 + b], _MM_SHUFFLE(2, 0, 2, 0));
    r[8 + b] = _mm512_shuffle_f32x4(t[b], t[8 + b], _MM_SHUFFLE(3, 1, 3, 1));
    r[4 + b] = _mm512_shuffle_f32x4(t[4 + b], t[12 + b], _MM_SHUFFLE(2, 0, 2, 0));
    r[12 + b] = _mm512_shuffle_f32x4(t[4 + b], t[12 + b], _MM_SHUFFLE(3, 1, 3, 1));
  }
}

// Stores window values [k0, k1) of a voxel, its window in two registers, at
// windowStart[k0 ..]: a whole line with a non-temporal store, anything less masked.
TOLVANE_TARGET_AVX512 __attribute__((always_inline)) inline void storeWindowPiece(
    __m512 previous, __m512 current, int k0, int k1, float* windowStart) {
  const __m512i firstLanes =
      _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512 values = _mm512_permutex2var_ps(
      previous, _mm512_add_epi32(firstLanes, _mm512_set1_epi32(k0)), current);
  if (k1 - k0 == kLine)
    _mm512_stream_ps(windowStart + k0, values);
  else
    _mm512_mask_storeu_ps(windowStart + k0, static_cast<__mmask16>((1u << (k1 - k0)) - 1), values);
}

// The 32 rows are 32 streams, more than the processor's own prefetching follows well:
// each row's line 64 values ahead is requested with the current one, four groups ahead
// on the AVX-512 path and eight on the AVX2 path (64 values measured best among 32, 48,
// 64, 96 and 128 on the default grid, a few per cent of the AVX-512 pass; on an AVX2
// processor the rounds took about a third less time). A prefetch never faults, even
// past the end of a row.
inline void prefetchAhead(const float* rowValue) {
  constexpr int kPrefetchValues = 64;
  __builtin_prefetch(rowValue + kPrefetchValues, 0, 3);
}

// The windows of voxels v .. v + 15, transposed: voxel v + j's values of round r - 1
// in previous[j] (zero in round 0, where no span reaches them) and of round r in
// current[j].
TOLVANE_TARGET_AVX512 __attribute__((always_inline)) inline void loadWindows(
    const Round& round, std::int64_t v, __m512 (&previous)[16], __m512 (&current)[16]) {
  const std::int64_t pitch = round.pitch;
#pragma GCC unroll 16
  for (int k = 0; k < 16; ++k) {
    prefetchAhead(round.current + k * pitch + v);
    current[k] = _mm512_load_ps(round.current + k * pitch + v);
  }
  transpose16(current);
  if (round.round > 0) {
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) {
      prefetchAhead(round.previous + k * pitch + v);
      previous[k] = _mm512_load_ps(round.previous + k * pitch + v);
    }
    transpose16(previous);
  } else {
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) previous[j] = _mm512_setzero_ps();
  }
}

// The spans of voxels [0, voxels), voxels a multiple of 16, 16 at a time. A round
// between the first and the last stores one whole line a voxel, and takes the short way.
TOLVANE_TARGET_AVX512 void storeSpansAvx512(const Round& round, std::int64_t voxels) {
  const int windowStart = round.windowStart();
  const bool linesOnly = round.round > 0 && !round.last;
  for (std::int64_t v = 0; v < voxels; v += 16) {
    __m512 previous[16], current[16];
    loadWindows(round, v, previous, current);
    float* const group = round.course(v) + windowStart;
    if (linesOnly) {
#pragma GCC unroll 16
      for (int j = 0; j < 16; ++j) {
        float* const course = group + j * static_cast<std::int64_t>(round.timePoints);
        const int q = headLength(course - windowStart);
        storeWindowPiece(previous[j], current[j], q, q + kLine, course);
      }
      continue;
    }
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) {
      float* const course = group + j * static_cast<std::int64_t>(round.timePoints);
      const int q = headLength(course - windowStart);
      const int from = round.from(q), to = round.to(q), split = q + kLine;
      storeWindowPiece(previous[j], current[j], from, std::min(to, split), course);
      if (to > split) storeWindowPiece(previous[j], current[j], split, to, course);
    }
  }
}

// Transposes an 8 x 8 block: row k, lane j becomes row j, lane k.
TOLVANE_TARGET_AVX2 __attribute__((always_inline)) inline void transpose8(__m256 (&r)[8]) {
  __m256 t[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < 8; i += 4) {
    r[i] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
    r[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
    r[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
    r[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  // r[4a + b], in 128-bit lane l, now holds lane 4 l + b of rows 4a .. 4a + 3.
#pragma GCC unroll 4
  for (int b = 0; b < 4; ++b) {
    t[b] = _mm256_permute2f128_ps(r[b], r[4 + b], 0x20);
    t[4 + b] = _mm256_permute2f128_ps(r[b], r[4 + b], 0x31);
  }
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) r[i] = t[i];
}

// The spans of voxels [0, voxels), voxels a multiple of 8, 8 at a time: each voxel's
// window is laid out in memory, and its span stored from there.
TOLVANE_TARGET_AVX2 void storeSpansAvx2(const Round& round, std::int64_t voxels) {
  alignas(32) float window[8][kWindow];
  const std::int64_t pitch = round.pitch;
  for (std::int64_t v = 0; v < voxels; v += 8) {
#pragma GCC unroll 4
    for (int quarter = round.round > 0 ? 0 : 2; quarter < 4; ++quarter) {
      const float* first =
          (quarter < 2 ? round.previous : round.current) + (quarter % 2) * 8 * pitch + v;
      __m256 block[8];
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        prefetchAhead(first + k * pitch);
        block[k] = _mm256_load_ps(first + k * pitch);
      }
      transpose8(block);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) _mm256_store_ps(window[j] + 8 * quarter, block[j]);
    }
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      float* course = round.course(v + j);
      storeSpan(round, window[j], course, headLength(course));
    }
  }
}

// Floats from one row to the next: whole lines, so that every row starts on one.
std::int64_t rowPitch(std::int64_t voxels) { return (voxels + kLine - 1) / kLine * kLine; }

}  // namespace

std::int64_t LineRing::bytesFor(std::int64_t voxels) {
  return kRows * rowPitch(voxels) * static_cast<std::int64_t>(sizeof(float));
}

LineRing::LineRing(float* courses, std::int64_t voxels, int timePoints)
    : courses_(courses),
      voxels_(voxels),
      timePoints_(timePoints),
      pitch_(rowPitch(voxels)),
      rows_(new (std::align_val_t{64},
                 std::nothrow) float[static_cast<std::size_t>(kRows * pitch_)]) {}

void LineRing::storeRound(int round, cpu::VectorPath path) const {
  const Round spans{round > 0 ? row(kRoundTimePoints * round - kRoundTimePoints) : nullptr,
                    row(kRoundTimePoints * round),
                    pitch_,
                    courses_,
                    timePoints_,
                    round,
                    kRoundTimePoints * (round + 1) >= timePoints_};
  std::int64_t grouped = 0;
  switch (path) {
    case cpu::VectorPath::kAvx512:
      grouped = voxels_ / 16 * 16;
      storeSpansAvx512(spans, grouped);
      break;
    case cpu::VectorPath::kAvx2:
      grouped = voxels_ / 8 * 8;
      storeSpansAvx2(spans, grouped);
      break;
    case cpu::VectorPath::kPortable:
      break;
  }
  for (std::int64_t v = grouped; v < voxels_; ++v) storeSpanOfVoxel(spans, v);
  if (spans.last) _mm_sfence();  // the lines' stores are weakly ordered
}

}  // namespace tolvane::simulation
