// A run's part of the report page, as HTML: per region the slices through it for each
// t map, its time courses, then the design matrix and the evaluations.
#pragma once

#include <string>

#include "tolvane/report/run_data.h"

namespace tolvane::report {

// `id` is unique within the page (letters, digits, '-'); |t| below `tThreshold` is not
// overlaid.
std::string runSection(const RunData& run, const std::string& id, double tThreshold);

}  // namespace tolvane::report
