// The ring of time rows; conventions in line_ring.h.
//
// Moving a time point's values from the staging row into the classes is an 8 x 8
// transpose in registers for P = 8 (blocks of 64 voxels) and for P = 16 (two for 128
// voxels), the periods of even and odd course lengths; other periods, and the voxels
// after the last whole block, move value by value. A class's lines are stored eight
// voxels at a time: its 16 rows are loaded side by side, transposed, and each voxel's
// 16 values written with two non-temporal stores. Only values move, so the courses
// hold exactly what was drawn.
#include "simulation/line_ring.h"

#include <algorithm>
#include <numeric>

#include "numerics/vector_path.h"

namespace tolvane::simulation {

namespace {

constexpr int kLine = LineRing::kLineValues;
constexpr int kGroup = 8;  // voxels per transpose

// P for courses of timePoints values.
std::int64_t phasePeriod(int timePoints) { return kLine / std::gcd(timePoints, kLine); }

std::int64_t roundUp(std::int64_t n, std::int64_t multiple) {
  return (n + multiple - 1) / multiple * multiple;
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

// The staged values of `blocks` blocks of 8 P voxels into the rows of their classes,
// for P = 8 or 16: in a block, the 8-voxel piece k holds voxel 8 k + j in lane j,
// whose class is (8 k + j) mod P and whose place in it 8 b + 8 k / P; so the pieces
// with the same k mod (P / 8), transposed, give each class its 8 values of the block.
template <int kPeriod>
TOLVANE_TARGET_AVX2 void moveBlocks(const float* staged, std::int64_t blocks, float* row,
                                    const std::int64_t* classStart) {
  static_assert(kPeriod == 8 || kPeriod == 16);
  constexpr int kParts = kPeriod / kGroup;
  for (std::int64_t b = 0; b < blocks; ++b) {
    const float* block = staged + b * kGroup * kPeriod;
#pragma GCC unroll 2
    for (int part = 0; part < kParts; ++part) {
      __m256 pieces[kGroup];
#pragma GCC unroll 8
      for (int i = 0; i < kGroup; ++i)
        pieces[i] = _mm256_load_ps(block + kGroup * (kParts * i + part));
      transpose8(pieces);
#pragma GCC unroll 8
      for (int j = 0; j < kGroup; ++j)
        _mm256_store_ps(row + classStart[kGroup * part + j] + kGroup * b, pieces[j]);
    }
  }
}

// The 16 rows are 16 streams, more than the processor's own prefetching follows well:
// each row's line 64 values ahead is requested with the current one. A prefetch never
// faults, even past the end of a row.
inline void prefetchAhead(const float* rowValue) {
  constexpr int kPrefetchValues = 64;
  __builtin_prefetch(rowValue + kPrefetchValues, 0, 3);
}

// Stores the lines of `groups` groups of 8 voxels of a class, whose values sit at
// rows[k][m] for time point k of the line and the class's m-th voxel; the m-th voxel's
// line starts at firstLine + m * courseStep, on a line boundary.
TOLVANE_TARGET_AVX2 void storeLineGroups(const float* const (&rows)[kLine], std::int64_t groups,
                                         float* firstLine, std::int64_t courseStep) {
  for (std::int64_t g = 0; g < groups; ++g) {
    const std::int64_t m = g * kGroup;
    __m256 early[kGroup], late[kGroup];
#pragma GCC unroll 8
    for (int k = 0; k < kGroup; ++k) {
      prefetchAhead(rows[k] + m);
      early[k] = _mm256_load_ps(rows[k] + m);
    }
#pragma GCC unroll 8
    for (int k = 0; k < kGroup; ++k) {
      prefetchAhead(rows[kGroup + k] + m);
      late[k] = _mm256_load_ps(rows[kGroup + k] + m);
    }
    transpose8(early);
    transpose8(late);
#pragma GCC unroll 8
    for (int j = 0; j < kGroup; ++j) {
      float* line = firstLine + (m + j) * courseStep;
      _mm256_stream_ps(line, early[j]);
      _mm256_stream_ps(line + kGroup, late[j]);
    }
  }
}

}  // namespace

std::int64_t LineRing::bytesFor(std::int64_t voxels, int timePoints) {
  const std::int64_t period = phasePeriod(timePoints);
  std::int64_t pitch = 0;
  for (std::int64_t c = 0; c < std::min(period, voxels); ++c)
    pitch += roundUp((voxels - c + period - 1) / period, kLine);
  const std::int64_t staging = period > 1 ? roundUp(voxels, kLine) : 0;
  return (kRows * pitch + staging) * static_cast<std::int64_t>(sizeof(float));
}

LineRing::LineRing(float* courses, std::int64_t voxels, int timePoints)
    : courses_(courses),
      voxels_(voxels),
      timePoints_(timePoints),
      period_(phasePeriod(timePoints)) {
  // Where the courses stand in their lines: floats from the last line boundary.
  const std::int64_t base = static_cast<std::int64_t>(
      (reinterpret_cast<std::uintptr_t>(courses) / sizeof(float)) % kLine);
  std::int64_t start = 0;
  for (std::int64_t c = 0; c < std::min(period_, voxels); ++c) {
    const std::int64_t count = (voxels - c + period_ - 1) / period_;
    const int boundary = static_cast<int>((kLine - (base + c * timePoints) % kLine) % kLine);
    classes_.push_back({c, count, start, boundary});
    start += roundUp(count, kLine);
  }
  pitch_ = start;
  rows_.reset(new (
      std::align_val_t{64},
      std::nothrow) float[static_cast<std::size_t>(std::max<std::int64_t>(kRows * pitch_, 1))]);
  if (rows_ && period_ > 1) {
    staging_.reset(new (std::align_val_t{64},
                        std::nothrow) float[static_cast<std::size_t>(roundUp(voxels, kLine))]);
    if (!staging_) rows_.reset();
  }
}

float* LineRing::drawRow(int t) const { return period_ > 1 ? staging_.get() : row(t); }

void LineRing::moveStagedValues(int t) const {
  float* destination = row(t);
  const float* staged = staging_.get();
  std::int64_t moved = 0;
  if (period_ == 8 || period_ == 16) {
    std::int64_t classStart[16];
    for (std::size_t c = 0; c < classes_.size(); ++c) classStart[c] = classes_[c].start;
    const std::int64_t blocks = voxels_ / (kGroup * period_);
    if (period_ == 8)
      moveBlocks<8>(staged, blocks, destination, classStart);
    else
      moveBlocks<16>(staged, blocks, destination, classStart);
    moved = blocks * kGroup * period_;
  }
  for (std::int64_t v = moved; v < voxels_; ++v)
    destination[classes_[v % period_].start + v / period_] = staged[v];
}

void LineRing::storeLines(const PhaseClass& phase, int t) const {
  const int lineStart = t - (kLine - 1);
  const float* rows[kLine];
  for (int k = 0; k < kLine; ++k) rows[k] = row(lineStart + k) + phase.start;
  const std::int64_t courseStep = period_ * timePoints_;
  float* firstLine = courses_ + phase.first * timePoints_ + lineStart;
  const std::int64_t groups = phase.count / kGroup;
  storeLineGroups(rows, groups, firstLine, courseStep);
  for (std::int64_t m = groups * kGroup; m < phase.count; ++m)
    for (int k = 0; k < kLine; ++k) firstLine[m * courseStep + k] = rows[k][m];
}

// Values [from, to) (fewer than 16) of every course of the class, value by value,
// course by course, so that each course's few lines are fetched once.
void LineRing::storeValues(const PhaseClass& phase, int from, int to) const {
  const float* rows[kLine];
  for (int k = from; k < to; ++k) rows[k - from] = row(k) + phase.start;
  const std::int64_t courseStep = period_ * timePoints_;
  float* firstValues = courses_ + phase.first * timePoints_ + from;
  for (std::int64_t m = 0; m < phase.count; ++m)
    for (int i = 0; i < to - from; ++i) firstValues[m * courseStep + i] = rows[i][m];
}

void LineRing::storeTimePoint(int t) const {
  if (period_ > 1) moveStagedValues(t);
  for (const PhaseClass& phase : classes_) {
    if (t >= kLine - 1 && (t - (kLine - 1)) % kLine == phase.boundary) storeLines(phase, t);
    // The head, [0, s), once complete; a course shorter than s is all head.
    if (phase.boundary > 0 && t == std::min(phase.boundary, timePoints_) - 1)
      storeValues(phase, 0, t + 1);
  }
  if (t != timePoints_ - 1) return;
  for (const PhaseClass& phase : classes_) {
    if (phase.boundary > 0 && phase.boundary >= timePoints_) continue;  // all head
    // The tail: what follows the last whole line, fewer than 16 values.
    const int tailStart = phase.boundary + (timePoints_ - phase.boundary) / kLine * kLine;
    storeValues(phase, tailStart, timePoints_);
  }
  _mm_sfence();  // the lines' stores are weakly ordered
}

}  // namespace tolvane::simulation
