// The report's view of an evaluation written by tolvane evaluate --output: its ROC
// curve as a plot, and tables of the counts per threshold and of the regions.
#pragma once

#include <filesystem>
#include <string>

namespace tolvane::report {

// The HTML of one evaluation file; `id` makes the plot's ids unique within the page.
// Throws InputError naming the file when it is not an evaluation.
std::string evaluationSection(const std::filesystem::path& file, const std::string& id);

}  // namespace tolvane::report
