// The truth of a contrast from the per-condition amplitude maps; see contrast_truth.h.
#include "tolvane/analysis/contrast_truth.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/contrasts.h"

namespace tolvane::analysis {
namespace {

constexpr std::string_view kMapEnd = "_effect.nii.gz";

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The sidecar's Condition, or the desc label when the sidecar does not say.
std::string conditionOf(const std::filesystem::path& map, std::string label) {
  std::filesystem::path sidecar = map;
  const std::string name = map.filename().string();
  sidecar.replace_filename(name.substr(0, name.size() - 7) + ".json");
  std::ifstream in(sidecar);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (json.is_object() && json.contains("Condition") && json["Condition"].is_string()) {
    return json["Condition"].get<std::string>();
  }
  return label;
}

}  // namespace

std::vector<ConditionTruth> conditionTruthMaps(const std::filesystem::path& folder,
                                               const std::string& prefix) {
  std::vector<ConditionTruth> maps;
  const std::string start = prefix + "_desc-";
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(start, 0) != 0 || !endsWith(name, kMapEnd)) continue;
    const std::string label = name.substr(start.size(), name.size() - start.size() - kMapEnd.size());
    maps.push_back({conditionOf(it->path(), label), it->path()});
  }
  std::sort(maps.begin(), maps.end(),
            [](const ConditionTruth& a, const ConditionTruth& b) { return a.file < b.file; });
  return maps;
}

std::string runPrefixOf(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  for (const char* marker : {"_desc-", "_contrast-"}) {
    const auto at = name.find(marker);
    if (at != std::string::npos) return name.substr(0, at);
  }
  return {};
}

ContrastTruth contrastTruth(const std::filesystem::path& truth, const std::string& prefix,
                            const std::string& expression) {
  const std::filesystem::path folder =
      std::filesystem::is_directory(truth) ? truth : truth.parent_path();
  const std::vector<ConditionTruth> maps = conditionTruthMaps(folder, prefix);
  if (maps.empty()) {
    throw formats::InputError(folder.string() + ": expected the amplitude maps " + prefix +
                              "_desc-C_effect.nii.gz of the run's conditions, found none");
  }
  ContrastTruth result;
  for (const ConditionTruth& map : maps) result.conditions.push_back(map.condition);
  const Contrast contrast =
      parseContrast(expression, result.conditions, result.conditions.size(), folder);
  result.weights = contrast.weights;
  for (std::size_t c = 0; c < maps.size(); ++c) {
    formats::ScalarVolume map = formats::readScalarVolume(maps[c].file);
    if (c == 0) {
      result.values = std::move(map);
      for (double& value : result.values.values) value *= result.weights[0];
      continue;
    }
    if (map.geometry.dims != result.values.geometry.dims) {
      throw formats::InputError(maps[c].file.string() + ": expected the grid of " +
                                maps.front().file.string() + " (" +
                                formats::describeGeometry(result.values.geometry) + "), found " +
                                formats::describeGeometry(map.geometry));
    }
    for (std::size_t v = 0; v < map.values.size(); ++v) {
      result.values.values[v] += result.weights[c] * map.values[v];
    }
  }
  return result;
}

formats::ScalarVolume meanContrastTruth(const std::vector<RunTruth>& runs,
                                        const std::string& expression) {
  formats::ScalarVolume mean;
  for (const RunTruth& run : runs) {
    const ContrastTruth truth = contrastTruth(run.folder, run.prefix, expression);
    if (mean.values.empty()) {
      mean = truth.values;
      continue;
    }
    if (truth.values.geometry.dims != mean.geometry.dims) {
      throw formats::InputError(run.folder.string() + ": expected the truth of " + run.prefix +
                                " on the grid of the other runs (" +
                                formats::describeGeometry(mean.geometry) + "), found " +
                                formats::describeGeometry(truth.values.geometry));
    }
    for (std::size_t v = 0; v < mean.values.size(); ++v) mean.values[v] += truth.values.values[v];
  }
  for (double& value : mean.values) value /= double(runs.size());
  return mean;
}

formats::ScalarVolume groupContrastTruth(const std::filesystem::path& datasetRoot,
                                         const std::vector<dataset::DatasetRun>& runs,
                                         const std::string& expression) {
  const std::string& prefix = runs.front().prefix;
  const auto task = prefix.find("_task-");
  if (task != std::string::npos) {
    const std::string entity = prefix.substr(task + 1, prefix.find('_', task + 1) - task - 1);
    const std::filesystem::path root = dataset::DatasetFolders(datasetRoot).truthRoot();
    if (!conditionTruthMaps(root, entity).empty()) {
      return contrastTruth(root, entity, expression).values;
    }
  }
  std::vector<RunTruth> truths;
  for (const dataset::DatasetRun& run : runs) truths.push_back({run.truthFolder, run.prefix});
  return meanContrastTruth(truths, expression);
}

}  // namespace tolvane::analysis
