// The names of a dataset's files; see names.h.
#include "tolvane/dataset/names.h"

#include <algorithm>
#include <cctype>

namespace tolvane::dataset {
namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string bidsLabel(const std::string& name) {
  std::string label;
  for (const char ch : name) {
    if (std::isalnum(static_cast<unsigned char>(ch))) label += ch;
  }
  return label;
}

std::vector<std::string> conditionLabels(const std::vector<std::string>& names) {
  std::vector<std::string> labels;
  for (std::size_t c = 0; c < names.size(); ++c) {
    std::string label = bidsLabel(names[c]);
    if (label.empty() || std::find(labels.begin(), labels.end(), label) != labels.end()) {
      label = "condition" + std::to_string(c + 1);
    }
    labels.push_back(label);
  }
  return labels;
}

std::string subjectEntity(int subject, int subjects) {
  const std::size_t width = subjects > 99 ? 3 : 2;
  const std::string digits = std::to_string(subject);
  return "sub-" + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

std::string runPrefix(const std::string& subjectEntity, const std::string& task, int run) {
  return subjectEntity + "_task-" + task + "_run-" + std::to_string(run);
}

std::string statMapStem(const std::string& prefix, const std::string& contrastLabel,
                        const std::string& stat) {
  return prefix + "_contrast-" + contrastLabel + "_stat-" + stat + "_statmap";
}

std::string designTableName(const std::string& prefix) { return prefix + "_design.tsv"; }

std::string evaluationName(const std::string& prefix, const std::string& contrastLabel) {
  return prefix + "_contrast-" + contrastLabel + "_" + kEvaluationSuffix;
}

std::string groupStatMapStem(const std::string& contrastLabel, const std::string& stat) {
  return statMapStem("group", contrastLabel, stat);
}

std::string statMapContrast(const std::string& fileName, const std::string& prefix,
                            const std::string& stat) {
  const std::string start = prefix + "_contrast-";
  const std::string end = "_stat-" + stat + "_statmap" + kMapExtension;
  if (fileName.size() <= start.size() + end.size() ||
      fileName.compare(0, start.size(), start) != 0 || !endsWith(fileName, end)) {
    return {};
  }
  return fileName.substr(start.size(), fileName.size() - start.size() - end.size());
}

bool isEvaluationOf(const std::string& fileName, const std::string& prefix,
                    const std::string& contrastLabel) {
  const std::string start = prefix + "_contrast-" + contrastLabel + "_";
  return fileName.compare(0, start.size(), start) == 0 && endsWith(fileName, kEvaluationSuffix);
}

std::filesystem::path RunFiles::effectMap(const std::string& conditionLabel) const {
  return truthFolder / (prefix + "_desc-" + conditionLabel + "_effect" + kMapExtension);
}

std::filesystem::path RunFiles::effectSidecar(const std::string& conditionLabel) const {
  return truthFolder / (prefix + "_desc-" + conditionLabel + "_effect.json");
}

RunFiles runFiles(const DatasetFolders& folders, const std::string& subject,
                  const std::string& prefix) {
  RunFiles files;
  files.subject = subject;
  files.prefix = prefix;
  const std::filesystem::path func = folders.funcFolder(subject);
  files.bold = func / (prefix + "_bold.nii.gz");
  files.boldSidecar = func / (prefix + "_bold.json");
  files.events = func / (prefix + "_events.tsv");
  files.truthFolder = folders.truthFolder(subject);
  files.labels = files.truthFolder / (prefix + "_desc-regions_dseg.nii.gz");
  files.regionTable = files.truthFolder / (prefix + "_desc-regions_dseg.tsv");
  files.predictors = files.truthFolder / (prefix + "_desc-predictors_timeseries.tsv");
  files.brainMask = files.truthFolder / (prefix + "_desc-brain_mask.nii.gz");
  files.networkTimeseries = files.truthFolder / (prefix + "_desc-network_timeseries.tsv");
  files.networkConnectivity = files.truthFolder / (prefix + "_desc-network_connectivity.tsv");
  files.patternSimilarity = files.truthFolder / (prefix + "_desc-patterns_similarity.tsv");
  files.expectedTsnr = files.truthFolder / (prefix + "_desc-expectedtsnr_boldmap.nii.gz");
  files.peakLatency = files.truthFolder / (prefix + "_desc-peaklatency_boldmap.nii.gz");
  files.peakLatencySidecar = files.truthFolder / (prefix + "_desc-peaklatency_boldmap.json");
  files.trials = files.truthFolder / (prefix + "_desc-trials_events.tsv");
  files.confounds = files.truthFolder / (prefix + "_desc-confounds_timeseries.tsv");
  files.confoundsSidecar = files.truthFolder / (prefix + "_desc-confounds_timeseries.json");
  files.glmFolder = folders.glmFolder(subject);
  return files;
}

std::filesystem::path regionTableOf(const std::filesystem::path& truth) {
  std::string name = truth.filename().string();
  for (const std::string extension : {".nii.gz", ".nii"}) {
    if (endsWith(name, extension)) name.resize(name.size() - extension.size());
  }
  if (!endsWith(name, "_dseg")) return {};
  return truth.parent_path() / (name + ".tsv");
}

std::filesystem::path sidecarOf(const std::filesystem::path& image) {
  std::string name = image.filename().string();
  for (const std::string extension : {".nii.gz", ".nii"}) {
    if (name.size() > extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
      name.resize(name.size() - extension.size());
      break;
    }
  }
  return image.parent_path() / (name + ".json");
}

}  // namespace tolvane::dataset
