// Where a study's files go in its output folder, under the names of
// tolvane/dataset/names.h: a BIDS dataset, the truth as a BIDS derivative dataset of its
// own, and the study file with the study's identity. This adds what the study decides:
// its subjects' labels, its conditions' labels and each run's place in the study.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/dataset/names.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct RunFiles {
  int subject = 1;
  int run = 1;
  int place = 0;
  std::filesystem::path bold, boldSidecar, events;
  std::filesystem::path labels, regionTable, predictors;
  std::filesystem::path mask, expectedTsnr;  // empty without per-voxel levels
  std::filesystem::path peakLatency, peakLatencySidecar;  // empty without hrf keys
  std::filesystem::path trials;                           // empty without trial_sd
  // Empty without networks: the nodes' courses and correlation, each with a sidecar.
  std::filesystem::path networkTimeseries, networkTimeseriesSidecar;
  std::filesystem::path networkConnectivity, networkConnectivitySidecar;
  // Empty without patterns: the similarity of the conditions' patterns, and its sidecar.
  std::filesystem::path patternSimilarity, patternSimilaritySidecar;
  std::filesystem::path confounds, confoundsSidecar;  // empty without head motion
  std::vector<std::filesystem::path> effectMaps, effectSidecars;  // per condition

  // Every file of the run that is written, in a fixed order (empty names left out).
  std::vector<std::filesystem::path> all() const;
  // Every name of the run, written or not, to rename them all in one place (a new field
  // belongs here, so that staging and records cannot miss it).
  std::vector<std::filesystem::path*> names();
};

class DatasetLayout {
 public:
  DatasetLayout(const study::Study& study, std::filesystem::path root);

  const std::filesystem::path& root() const { return folders_.root(); }
  std::filesystem::path description() const { return folders_.description(); }
  std::filesystem::path readme() const { return folders_.readme(); }
  std::filesystem::path participants() const { return folders_.participants(); }
  std::filesystem::path truthRoot() const { return folders_.truthRoot(); }
  std::filesystem::path truthDescription() const { return folders_.truthDescription(); }
  // The group truth's map of condition c and its sidecar, written when subjects differ
  // (effects drawn per subject and run, or regions that move): the population's mean
  // effect per condition, each region where the study file puts it.
  std::filesystem::path groupEffectMap(std::size_t c) const {
    return folders_.groupEffectMap(study_.task, conditionLabels_[c]);
  }
  std::filesystem::path groupEffectSidecar(std::size_t c) const {
    return folders_.groupEffectSidecar(study_.task, conditionLabels_[c]);
  }
  std::filesystem::path codeFolder() const { return folders_.codeFolder(); }
  std::filesystem::path studyCopy() const;
  std::filesystem::path identity() const { return folders_.identity(); }

  // "01" and "sub-01".
  std::string subjectLabel(int subject) const { return study_.subjectLabel(subject); }
  std::string subjectEntity(int subject) const { return "sub-" + subjectLabel(subject); }
  // The desc label of each condition's map.
  const std::vector<std::string>& conditionLabels() const { return conditionLabels_; }
  RunFiles run(int subject, int run) const;

 private:
  const study::Study& study_;
  dataset::DatasetFolders folders_;
  std::vector<std::string> conditionLabels_;
};

}  // namespace tolvane::simulate
