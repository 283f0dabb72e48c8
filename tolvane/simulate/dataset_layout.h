// Where a study's files go in its output folder: a BIDS dataset, the truth as a BIDS
// derivative dataset of its own, and the study file with the study's identity.
//
//   dataset_description.json, README, participants.tsv
//   sub-XX/func/sub-XX_task-T_run-N_bold.nii.gz, _bold.json, _events.tsv
//   derivatives/tolvane/dataset_description.json
//   derivatives/tolvane/sub-XX/func/sub-XX_task-T_run-N_desc-regions_dseg.nii.gz
//     the label image of the regions, and _dseg.tsv, the table of the regions;
//   derivatives/tolvane/sub-XX/func/sub-XX_task-T_run-N_desc-C_effect.nii.gz (+ .json)
//     per condition, C being the condition's name reduced to letters and digits;
//   derivatives/tolvane/sub-XX/func/sub-XX_task-T_run-N_desc-predictors_timeseries.tsv
//     the predictor of each condition per volume, as the engine used it;
//   derivatives/tolvane/task-T_desc-C_effect.nii.gz (+ .json), when subjects differ
//     (effects drawn per subject and run, or regions that move): the group truth, the
//     population's mean effect per condition, each region where the study file puts it;
//   derivatives/tolvane/sub-XX/func/sub-XX_task-T_run-N_desc-brain_mask.nii.gz and
//     _desc-expectedtsnr_boldmap.nii.gz, with scanner-like noise only (study/scanner_noise.h):
//     the brain mask (1 inside) and the tSNR each voxel's levels give;
//   code/tolvane/STUDY.toml, the study file, and code/tolvane/study.json, its identity.
//
// Subjects are numbered from 01 (three digits from the hundredth), runs from 1.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct RunFiles {
  int subject = 1;
  int run = 1;
  int place = 0;
  std::filesystem::path bold, boldSidecar, events;
  std::filesystem::path labels, regionTable, predictors;
  std::filesystem::path mask, expectedTsnr;  // empty without per-voxel levels
  std::vector<std::filesystem::path> effectMaps, effectSidecars;  // per condition

  std::vector<std::filesystem::path> all() const;
};

class DatasetLayout {
 public:
  DatasetLayout(const study::Study& study, std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path description() const { return root_ / "dataset_description.json"; }
  std::filesystem::path readme() const { return root_ / "README"; }
  std::filesystem::path participants() const { return root_ / "participants.tsv"; }
  std::filesystem::path truthRoot() const { return root_ / "derivatives" / "tolvane"; }
  std::filesystem::path truthDescription() const {
    return truthRoot() / "dataset_description.json";
  }
  // The group truth's map of condition c and its sidecar.
  std::filesystem::path groupEffectMap(std::size_t c) const;
  std::filesystem::path groupEffectSidecar(std::size_t c) const;
  std::filesystem::path codeFolder() const { return root_ / "code" / "tolvane"; }
  std::filesystem::path studyCopy() const;
  std::filesystem::path identity() const { return codeFolder() / "study.json"; }

  std::string subjectLabel(int subject) const;
  // The desc label of each condition's map.
  const std::vector<std::string>& conditionLabels() const { return conditionLabels_; }
  RunFiles run(int subject, int run) const;

 private:
  const study::Study& study_;
  std::filesystem::path root_;
  std::vector<std::string> conditionLabels_;
};

}  // namespace tolvane::simulate
