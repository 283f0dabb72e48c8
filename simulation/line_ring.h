// The noise pass's ring of time rows, from which the voxels' time courses are written a
// whole cache line at a time.
//
// The pass draws its deviates time point by time point (all voxels at t, then at
// t + 1), while each voxel's time course is contiguous in the VTC. The ring holds the
// deviates of 32 successive time points, one row per time point (time point t in row
// t mod 32, voxel v at element v), and hands them on in whole 64-byte cache lines, each
// written once with a non-temporal store: the line is never fetched, where stores of a
// few values at a time fetch and write back every line several times.
//
// A voxel's course starts wherever nT floats per voxel put it, so its lines have a
// phase of their own: q, in 1 .. 16, is the number of its values before its first line
// boundary (16 when the course starts on one). Its values [q + 16 (j - 1), q + 16 j)
// fill its line j >= 1 alone; its first q values (the head) and its last ones (the
// tail) share their lines with the voxels before and after it, and go there with
// ordinary stores.
//
// Time points arrive in rounds of 16: round r brings [16 r, 16 r + 16), the last round
// what is left. When a whole round r >= 1 has been drawn, every voxel's line r,
// [16 r + q - 16, 16 r + q), lies in rounds r - 1 and r, which the ring holds, and is
// written. Module-internal: nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::simulation {

class LineRing {
 public:
  static constexpr int kLineValues = 16;  // floats in a 64-byte cache line
  static constexpr int kRoundTimePoints = kLineValues;
  static constexpr int kRows = 2 * kRoundTimePoints;

  // The bytes a ring takes for `voxels` voxels.
  static std::int64_t bytesFor(std::int64_t voxels);

  // A ring for the courses of `voxels` voxels of `timePoints` values each, from
  // `courses` on. Without memory for it, the ring is empty (false).
  LineRing(float* courses, std::int64_t voxels, int timePoints);

  explicit operator bool() const { return rows_ != nullptr; }

  // Where time point t's values go, voxel by voxel.
  float* row(int t) const { return rows_.get() + (t % kRows) * pitch_; }

  // To be called once round `round` is drawn, rounds in order: stores every value of
  // the rounds so far that completes a line (the heads, after round 0), and after the
  // last round every value not yet stored. The courses are complete, and visible to
  // every thread, after the last round's call.
  void storeRound(int round, cpu::VectorPath path) const;

 private:
  struct AlignedDelete {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t{64}); }
  };

  float* courses_;
  std::int64_t voxels_;
  int timePoints_;
  std::int64_t pitch_;  // floats from one row to the next, a whole number of lines
  std::unique_ptr<float[], AlignedDelete> rows_;
};

}  // namespace tolvane::simulation

#pragma GCC visibility pop
