// Confound regressors for the reference GLM: columns of a confounds table (such as the
// head motion that tolvane simulate writes as the truth, or a realignment tool's
// desc-confounds_timeseries.tsv) added to a run's design.
//
// The table is tab-separated with a header row of column names and one row per volume
// of the run, exactly. The chosen columns (by default the six motion parameters
// trans_x, trans_y, trans_z, rot_x, rot_y, rot_z) enter the design as they are, after
// the high-pass cosines and before the constant, under their own names; "n/a" (which
// such tables write in the first row of framewise_displacement and of derivatives) is
// taken as 0. Every other cell must be a finite number.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/analysis/glm_design.h"

namespace tolvane::analysis {

inline const std::vector<std::string> kMotionConfoundColumns = {"trans_x", "trans_y", "trans_z",
                                                                "rot_x",   "rot_y",   "rot_z"};

struct ConfoundColumns {
  std::vector<std::string> names;
  std::vector<std::vector<double>> values;  // per column, one per volume
};

// The columns `names` of the table (kMotionConfoundColumns when empty), which must have
// `volumes` rows. Throws InputError naming the file, the line and what was expected.
ConfoundColumns readConfoundColumns(const std::filesystem::path& table,
                                    const std::vector<std::string>& names, int volumes);

// The design with the confounds inserted before its constant. Throws InputError naming
// `table` when a name is already a column's or the design would have no degrees of
// freedom left.
void addConfounds(GlmDesign& design, const ConfoundColumns& confounds,
                  const std::filesystem::path& table);

}  // namespace tolvane::analysis
