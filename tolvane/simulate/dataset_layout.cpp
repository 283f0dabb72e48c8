// File names of a study's dataset; see dataset_layout.h.
#include "tolvane/simulate/dataset_layout.h"

#include <algorithm>

#include "tolvane/study/run_seeds.h"

namespace tolvane::simulate {
namespace {

std::vector<std::string> conditionNames(const design::Protocol& protocol) {
  std::vector<std::string> names;
  for (const auto& condition : protocol.conditions) names.push_back(condition.name);
  return names;
}

}  // namespace

std::vector<std::filesystem::path*> RunFiles::names() {
  std::vector<std::filesystem::path*> names{&bold,   &boldSidecar, &events,
                                            &labels, &regionTable, &predictors};
  for (auto* list : {&effectMaps, &effectSidecars}) {
    for (std::filesystem::path& file : *list) names.push_back(&file);
  }
  for (std::filesystem::path* file :
       {&mask, &expectedTsnr, &peakLatency, &peakLatencySidecar, &trials, &networkTimeseries,
        &networkTimeseriesSidecar, &networkConnectivity, &networkConnectivitySidecar,
        &patternSimilarity, &patternSimilaritySidecar, &confounds, &confoundsSidecar}) {
    names.push_back(file);
  }
  return names;
}

std::vector<std::filesystem::path> RunFiles::all() const {
  RunFiles copy = *this;  // names() hands out pointers into the copy, which must outlive them
  std::vector<std::filesystem::path> files;
  for (const std::filesystem::path* file : copy.names()) {
    if (!file->empty()) files.push_back(*file);
  }
  return files;
}

DatasetLayout::DatasetLayout(const study::Study& study, std::filesystem::path root)
    : study_(study),
      folders_(std::move(root)),
      conditionLabels_(dataset::conditionLabels(conditionNames(study.protocol))) {}

std::filesystem::path DatasetLayout::studyCopy() const {
  return codeFolder() / study_.file.filename();
}

RunFiles DatasetLayout::run(int subject, int run) const {
  RunFiles files;
  files.subject = subject;
  files.run = run;
  files.place = study::runPlace(subject, run, study_.runs);
  const std::string sub = subjectEntity(subject);
  const dataset::RunFiles names =
      dataset::runFiles(folders_, sub, dataset::runPrefix(sub, study_.task, run));
  files.bold = names.bold;
  files.boldSidecar = names.boldSidecar;
  files.events = names.events;
  files.labels = names.labels;
  files.regionTable = names.regionTable;
  files.predictors = names.predictors;
  if (study_.voxelLevels) {
    files.mask = names.brainMask;
    files.expectedTsnr = names.expectedTsnr;
  }
  if (!study_.responses.empty()) {
    files.peakLatency = names.peakLatency;
    files.peakLatencySidecar = names.peakLatencySidecar;
  }
  if (!study_.trialSpreads.empty()) files.trials = names.trials;
  if (!study_.networks.empty()) {
    files.networkTimeseries = names.networkTimeseries;
    files.networkTimeseriesSidecar = std::filesystem::path(names.networkTimeseries).replace_extension(".json");
    files.networkConnectivity = names.networkConnectivity;
    files.networkConnectivitySidecar = std::filesystem::path(names.networkConnectivity).replace_extension(".json");
  }
  if (std::any_of(study_.regions.begin(), study_.regions.end(),
                  [](const study::Region& region) { return region.pattern.has_value(); })) {
    files.patternSimilarity = names.patternSimilarity;
    files.patternSimilaritySidecar =
        std::filesystem::path(names.patternSimilarity).replace_extension(".json");
  }
  if (study_.motion) {
    files.confounds = names.confounds;
    files.confoundsSidecar = names.confoundsSidecar;
  }
  for (const std::string& label : conditionLabels_) {
    files.effectMaps.push_back(names.effectMap(label));
    files.effectSidecars.push_back(names.effectSidecar(label));
  }
  return files;
}

}  // namespace tolvane::simulate
