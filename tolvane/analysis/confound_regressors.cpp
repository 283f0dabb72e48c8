// Confound regressors; see confound_regressors.h.
#include "tolvane/analysis/confound_regressors.h"

#include <algorithm>
#include <fstream>

#include "formats/errors.h"
#include "formats/text_parsing.h"

namespace tolvane::analysis {

ConfoundColumns readConfoundColumns(const std::filesystem::path& table,
                                    const std::vector<std::string>& names, int volumes) {
  std::ifstream in(table, std::ios::binary);
  if (!in.is_open()) {
    throw formats::InputError(table.string() + ": expected a confounds table, found no such file");
  }
  ConfoundColumns confounds;
  confounds.names = names.empty() ? kMotionConfoundColumns : names;
  std::string line;
  if (!std::getline(in, line)) formats::failAt(table, 1, "expected a header row of column names");
  std::vector<std::string> header;
  for (const std::string_view cell : formats::splitTabs(formats::trim(line))) {
    header.emplace_back(formats::trim(cell));
  }
  std::vector<std::size_t> places;
  for (const std::string& name : confounds.names) {
    const auto found = std::find(header.begin(), header.end(), name);
    if (found == header.end()) {
      formats::failAt(table, 1, "expected a column " + formats::inQuotes(name));
    }
    places.push_back(static_cast<std::size_t>(found - header.begin()));
  }
  confounds.values.assign(places.size(), {});
  int rows = 0;
  while (std::getline(in, line)) {
    if (formats::trim(line).empty()) continue;
    ++rows;
    if (rows > volumes) break;
    const std::vector<std::string_view> cells = formats::splitTabs(line);
    for (std::size_t i = 0; i < places.size(); ++i) {
      const std::string_view cell =
          places[i] < cells.size() ? formats::trim(cells[places[i]]) : std::string_view();
      const std::optional<double> value =
          cell == "n/a" ? std::optional<double>(0.0) : formats::parseFiniteNumber(cell);
      if (!value) {
        formats::failAt(table, rows + 1, "column " + confounds.names[i] +
                                             ": expected a number or n/a, found " +
                                             formats::inQuotes(cell));
      }
      confounds.values[i].push_back(*value);
    }
  }
  if (rows != volumes) {
    formats::failAt(table, 0, "expected a row for each of the run's " + std::to_string(volumes) +
                                  " volumes, found " + (rows > volumes ? "more" : std::to_string(rows)));
  }
  return confounds;
}

void addConfounds(GlmDesign& design, const ConfoundColumns& confounds,
                  const std::filesystem::path& table) {
  for (const std::string& name : confounds.names) {
    if (std::count(design.columnNames.begin(), design.columnNames.end(), name) > 0 ||
        std::count(confounds.names.begin(), confounds.names.end(), name) > 1) {
      throw formats::InputError(table.string() + ": confound " + formats::inQuotes(name) +
                                " is already a column of the design");
    }
  }
  const std::size_t before = design.columnCount();
  const std::size_t after = before + confounds.names.size();
  if (after >= static_cast<std::size_t>(design.volumes)) {
    throw formats::InputError(table.string() + ": " + std::to_string(confounds.names.size()) +
                              " confounds leave no degrees of freedom in a run of " +
                              std::to_string(design.volumes) + " volumes");
  }
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(design.volumes) * after);
  for (int n = 0; n < design.volumes; ++n) {
    const auto row = design.values.begin() + static_cast<long>(static_cast<std::size_t>(n) * before);
    values.insert(values.end(), row, row + static_cast<long>(before - 1));
    for (const std::vector<double>& column : confounds.values) {
      values.push_back(column[static_cast<std::size_t>(n)]);
    }
    values.push_back(*(row + static_cast<long>(before - 1)));
  }
  design.values = std::move(values);
  design.columnNames.insert(design.columnNames.end() - 1, confounds.names.begin(),
                            confounds.names.end());
}

}  // namespace tolvane::analysis
