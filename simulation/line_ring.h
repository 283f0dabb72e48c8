// The noise pass's ring of time rows, from which the voxels' time courses are written a
// whole cache line at a time.
//
// The pass draws its deviates time point by time point (all voxels at t, then at
// t + 1), while each voxel's time course is contiguous in the VTC. The ring holds the
// deviates of the last 16 time points, one row per time point, and hands them on in
// whole 64-byte cache lines, each written once with a non-temporal store: the line is
// never fetched, where stores of a few values at a time fetch and write back every
// line several times.
//
// A course's line boundaries fall where nT floats per voxel put them: its first
// boundary lies s values in (0 <= s < 16, s = 0 when the course starts on one), and its
// lines are [s + 16 j, s + 16 j + 16). s repeats with the voxel index: voxels v and
// v + P share it, P = 16 / gcd(nT, 16) (1 when nT is a multiple of 16, 16 when nT is
// odd). The voxels of one phase class, v = c (mod P), complete a line at the same
// time point, so the ring keeps each class's voxels side by side in its rows: a time
// point's deviates are drawn in voxel order into a staging row and then moved class by
// class into the ring (for P = 1 they are drawn into the ring directly). When a time
// point completes a class's lines, the class's 16 rows are transposed in registers
// and every voxel's line is stored; each value is read from the ring once.
//
// The first s values of a course (its head) and the values after its last whole line
// (its tail) share their lines with the voxels before and after it, and go there with
// ordinary stores, when the head is complete and after the last time point.
// Module-internal: nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#pragma GCC visibility push(hidden)

namespace tolvane::simulation {

class LineRing {
 public:
  static constexpr int kLineValues = 16;  // floats in a 64-byte cache line
  static constexpr int kRows = kLineValues;

  // The bytes a ring takes for `voxels` voxels of `timePoints` values each.
  static std::int64_t bytesFor(std::int64_t voxels, int timePoints);

  // A ring for the courses of `voxels` voxels of `timePoints` values each, from
  // `courses` on. Without memory for it, the ring is empty (false). Its stores use
  // AVX2: make one only when the processor has it.
  LineRing(float* courses, std::int64_t voxels, int timePoints);

  explicit operator bool() const { return rows_ != nullptr; }

  // Where time point t's values are to be drawn, voxel by voxel (voxel v at element v).
  float* drawRow(int t) const;

  // To be called once time point t is drawn, time points in order: moves its values
  // into the ring and stores every line, head and tail that they complete. The courses
  // are complete, and visible to every thread, after the last time point's call.
  void storeTimePoint(int t) const;

 private:
  struct AlignedDelete {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t{64}); }
  };

  // A phase class: its first voxel is `first`; its voxels lie at `start` onwards in
  // every row; their first line boundary lies `boundary` values into their courses.
  struct PhaseClass {
    std::int64_t first;
    std::int64_t count;
    std::int64_t start;
    int boundary;
  };

  float* row(int t) const { return rows_.get() + (t % kRows) * pitch_; }
  void moveStagedValues(int t) const;
  void storeLines(const PhaseClass& phase, int t) const;
  void storeValues(const PhaseClass& phase, int from, int to) const;

  float* courses_;
  std::int64_t voxels_;
  int timePoints_;
  std::int64_t period_;  // P
  std::vector<PhaseClass> classes_;
  std::int64_t pitch_;                               // floats from one row to the next
  std::unique_ptr<float[], AlignedDelete> rows_;     // kRows rows
  std::unique_ptr<float[], AlignedDelete> staging_;  // one row in voxel order; none for P = 1
};

}  // namespace tolvane::simulation

#pragma GCC visibility pop
