// How the analysis reports what it is doing: one line at a time, for the command line
// to show or to drop.
#pragma once

#include <functional>
#include <string>

namespace tolvane::analysis {

using Progress = std::function<void(const std::string& line)>;

}  // namespace tolvane::analysis
