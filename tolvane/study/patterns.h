// Regions whose effect is a voxel pattern per condition, with a known similarity
// between the conditions' patterns (the pattern keys of pattern_keys.h, checked).
//
// A region with a pattern over conditions c_1 .. c_m (those its effects table names,
// in the protocol's order) gives subject s, at its i-th voxel (ascending grid index, before the
// subject's offset), the amplitudes
//   a_c(v_i) = effect_c + sd * (L z_i)_c,   L L^T = S (correlation_matrix.h),
// effect_c the region's effect of the run, S the similarity (the correlation between
// the conditions' patterns over voxels) and z_i m standard normal draws: the Philox
// sequence of slot s - 1, stream kPatternStream, purpose the region's place from 0,
// read voxel after voxel. The subject keeps its patterns in all its runs; the truth's
// effect maps hold them.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "tolvane/study/study_file.h"

namespace tolvane::study {

struct Study;
struct Region;

struct Pattern {
  std::vector<std::size_t> conditions;  // of the protocol, in its order
  std::vector<double> similarity;       // conditions x conditions, row-major
  double sd = 0.0;                      // data units
  bool percentOfBaseline = false;
};

// Checks a region's pattern; throws InputError naming the key and line.
std::optional<Pattern> resolvePattern(const RegionEntry& entry, const Study& study,
                                      double percentBaseline);

// Subject `subject`'s deviations of region `region` from its effects: per voxel of the
// region's voxels, one per pattern condition (voxel-major), in data units.
std::vector<double> patternDeviations(const Study& study, std::size_t region, int subject);

}  // namespace tolvane::study
