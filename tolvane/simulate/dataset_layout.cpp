// File names of a study's dataset; see dataset_layout.h.
#include "tolvane/simulate/dataset_layout.h"

#include <algorithm>
#include <cctype>

#include "tolvane/study/run_seeds.h"

namespace tolvane::simulate {
namespace {

// Letters and digits only, as BIDS labels must be; a name with none, or one that an
// earlier condition already reduced to, is named by its place instead.
std::vector<std::string> labelsOf(const design::Protocol& protocol) {
  std::vector<std::string> labels;
  for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
    std::string label;
    for (const char ch : protocol.conditions[c].name) {
      if (std::isalnum(static_cast<unsigned char>(ch))) label += ch;
    }
    if (label.empty() || std::find(labels.begin(), labels.end(), label) != labels.end()) {
      label = "condition" + std::to_string(c + 1);
    }
    labels.push_back(label);
  }
  return labels;
}

}  // namespace

std::vector<std::filesystem::path> RunFiles::all() const {
  std::vector<std::filesystem::path> files{bold,   boldSidecar, events,
                                           labels, regionTable, predictors};
  files.insert(files.end(), effectMaps.begin(), effectMaps.end());
  files.insert(files.end(), effectSidecars.begin(), effectSidecars.end());
  for (const std::filesystem::path& file : {mask, expectedTsnr}) {
    if (!file.empty()) files.push_back(file);
  }
  return files;
}

DatasetLayout::DatasetLayout(const study::Study& study, std::filesystem::path root)
    : study_(study), root_(std::move(root)), conditionLabels_(labelsOf(study.protocol)) {}

std::filesystem::path DatasetLayout::studyCopy() const {
  return codeFolder() / study_.file.filename();
}

std::filesystem::path DatasetLayout::groupEffectMap(std::size_t c) const {
  return truthRoot() / ("task-" + study_.task + "_desc-" + conditionLabels_[c] + "_effect.nii.gz");
}

std::filesystem::path DatasetLayout::groupEffectSidecar(std::size_t c) const {
  return truthRoot() / ("task-" + study_.task + "_desc-" + conditionLabels_[c] + "_effect.json");
}

std::string DatasetLayout::subjectLabel(int subject) const {
  return study_.subjectLabel(subject);
}

RunFiles DatasetLayout::run(int subject, int run) const {
  RunFiles files;
  files.subject = subject;
  files.run = run;
  files.place = study::runPlace(subject, run, study_.runs);
  const std::string sub = "sub-" + subjectLabel(subject);
  const std::string stem = sub + "_task-" + study_.task + "_run-" + std::to_string(run);
  const std::filesystem::path func = root_ / sub / "func";
  files.bold = func / (stem + "_bold.nii.gz");
  files.boldSidecar = func / (stem + "_bold.json");
  files.events = func / (stem + "_events.tsv");
  const std::filesystem::path truth = truthRoot() / sub / "func";
  files.labels = truth / (stem + "_desc-regions_dseg.nii.gz");
  files.regionTable = truth / (stem + "_desc-regions_dseg.tsv");
  files.predictors = truth / (stem + "_desc-predictors_timeseries.tsv");
  if (study_.voxelLevels) {
    files.mask = truth / (stem + "_desc-brain_mask.nii.gz");
    files.expectedTsnr = truth / (stem + "_desc-expectedtsnr_boldmap.nii.gz");
  }
  for (const std::string& label : conditionLabels_) {
    files.effectMaps.push_back(truth / (stem + "_desc-" + label + "_effect.nii.gz"));
    files.effectSidecars.push_back(truth / (stem + "_desc-" + label + "_effect.json"));
  }
  return files;
}

}  // namespace tolvane::simulate
