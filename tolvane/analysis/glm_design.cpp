// Building a run's design; see glm_design.h.
#include "tolvane/analysis/glm_design.h"

#include <charconv>
#include <cmath>
#include <numbers>

#include "design/design_matrix.h"
#include "formats/text_parsing.h"

namespace tolvane::analysis {
namespace {

std::string cosineName(int k) {
  return k < 10 ? "cosine0" + std::to_string(k) : "cosine" + std::to_string(k);
}

}  // namespace

GlmDesign buildGlmDesign(const design::Protocol& protocol, const std::filesystem::path& eventsFile,
                         int volumes, double trSeconds, double highpassSeconds) {
  const double trMilliseconds = trSeconds * 1000.0;
  design::DesignMatrix conditions;
  for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
    conditions.addPredictor(protocol.conditions[c].name, volumes);
    conditions.setFromCondition(c, protocol.conditions[c], protocol.unit, trMilliseconds, 1.0f);
    conditions.applyTwoGammaHrf(c, trMilliseconds);
    const float* values = conditions.volumeValues(c);
    bool anyOn = false;
    for (int t = 0; t < volumes && !anyOn; ++t) anyOn = values[t] != 0.0f;
    if (!anyOn) {
      throw formats::InputError(
          eventsFile.string() + ": condition " + formats::inQuotes(protocol.conditions[c].name) +
          " has no event within the run's " + std::to_string(volumes) + " volumes of TR " +
          std::to_string(trSeconds) + " s, so its effect cannot be estimated");
    }
  }

  const int cosines =
      highpassSeconds > 0.0
          ? static_cast<int>(std::floor(2.0 * volumes * trSeconds / highpassSeconds))
          : 0;
  GlmDesign design;
  design.volumes = volumes;
  design.conditionCount = conditions.size();
  for (std::size_t c = 0; c < conditions.size(); ++c)
    design.columnNames.push_back(conditions[c].name);
  for (int k = 1; k <= cosines; ++k) design.columnNames.push_back(cosineName(k));
  design.columnNames.push_back("constant");
  if (design.columnCount() >= static_cast<std::size_t>(volumes)) {
    throw formats::InputError(eventsFile.string() + ": " + std::to_string(conditions.size()) +
                              " conditions, " + std::to_string(cosines) +
                              " high-pass cosines and a constant leave no degrees of "
                              "freedom in a run of " +
                              std::to_string(volumes) + " volumes");
  }

  const std::size_t columns = design.columnCount();
  design.values.assign(static_cast<std::size_t>(volumes) * columns, 0.0);
  for (int n = 0; n < volumes; ++n) {
    double* row = design.values.data() + static_cast<std::size_t>(n) * columns;
    for (std::size_t c = 0; c < conditions.size(); ++c) {
      row[c] = static_cast<double>(conditions[c].volumeValues[static_cast<std::size_t>(n)]);
    }
    for (int k = 1; k <= cosines; ++k) {
      row[conditions.size() + static_cast<std::size_t>(k) - 1] =
          std::cos(std::numbers::pi * k * (2.0 * n + 1.0) / (2.0 * volumes));
    }
    row[columns - 1] = 1.0;
  }
  return design;
}

std::string designTable(const GlmDesign& design) {
  std::string text;
  for (std::size_t c = 0; c < design.columnCount(); ++c) {
    text += (c ? "\t" : "") + design.columnNames[c];
  }
  text += '\n';
  char buffer[32];
  for (int n = 0; n < design.volumes; ++n) {
    for (std::size_t c = 0; c < design.columnCount(); ++c) {
      const auto result = std::to_chars(buffer, buffer + sizeof buffer, design.at(n, c));
      if (c) text += '\t';
      text.append(buffer, result.ptr);
    }
    text += '\n';
  }
  return text;
}

}  // namespace tolvane::analysis
