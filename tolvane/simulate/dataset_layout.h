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
  std::vector<std::filesystem::path> effectMaps, effectSidecars;  // per condition

  std::vector<std::filesystem::path> all() const;
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
  std::filesystem::path codeFolder() const { return folders_.codeFolder(); }
  std::filesystem::path studyCopy() const;
  std::filesystem::path identity() const { return folders_.identity(); }

  // "sub-01".
  std::string subjectEntity(int subject) const;
  // The desc label of each condition's map.
  const std::vector<std::string>& conditionLabels() const { return conditionLabels_; }
  RunFiles run(int subject, int run) const;

 private:
  const study::Study& study_;
  dataset::DatasetFolders folders_;
  std::vector<std::string> conditionLabels_;
};

}  // namespace tolvane::simulate
