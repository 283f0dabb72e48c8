// Names of a dataset's analysis files; see analysis_files.h.
#include "tolvane/report/analysis_files.h"

#include "tolvane/analysis/contrasts.h"

namespace tolvane::report {
namespace {

std::string statmap(const std::string& stem, const std::string& statistic) {
  return stem + "_stat-" + statistic + "_statmap.nii.gz";
}

}  // namespace

std::filesystem::path defaultGlmRoot(const std::filesystem::path& dataset) {
  return dataset / "derivatives" / "tolvane-glm";
}

std::filesystem::path defaultGroupRoot(const std::filesystem::path& dataset) {
  return dataset / "derivatives" / "tolvane-group";
}

std::filesystem::path runMap(const std::filesystem::path& glmRoot, const DatasetRun& run,
                             const std::string& contrastLabel, const std::string& statistic) {
  return glmRoot / run.subject / "func" /
         statmap(run.prefix + "_contrast-" + contrastLabel, statistic);
}

std::filesystem::path subjectMap(const std::filesystem::path& groupRoot,
                                 const std::string& subject, const std::string& contrastLabel,
                                 const std::string& statistic) {
  return groupRoot / subject / statmap(subject + "_contrast-" + contrastLabel, statistic);
}

std::filesystem::path groupMap(const std::filesystem::path& groupRoot,
                               const std::string& contrastLabel, const std::string& covariate,
                               const std::string& statistic) {
  std::string stem = "group_contrast-" + contrastLabel;
  if (!covariate.empty()) stem += "_desc-" + analysis::bidsLabel(covariate);
  return groupRoot / statmap(stem, statistic);
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

}  // namespace tolvane::report
