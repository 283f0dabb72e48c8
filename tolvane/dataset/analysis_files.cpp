// Names of a dataset's analysis files; see analysis_files.h.
#include "tolvane/dataset/analysis_files.h"

namespace tolvane::dataset {

std::filesystem::path defaultGlmRoot(const std::filesystem::path& root) {
  return DatasetFolders(root).glmRoot();
}

std::filesystem::path defaultGroupRoot(const std::filesystem::path& dataset) {
  return dataset / "derivatives" / "tolvane-group";
}

std::filesystem::path runMap(const std::filesystem::path& glmRoot, const DatasetRun& run,
                             const std::string& contrastLabel, const std::string& statistic) {
  return glmRoot / run.subject / "func" /
         (statMapStem(run.prefix, contrastLabel, statistic) + kMapExtension);
}

std::filesystem::path subjectMap(const std::filesystem::path& groupRoot, const std::string& subject,
                                 const std::string& contrastLabel, const std::string& statistic) {
  return groupRoot / subject / (statMapStem(subject, contrastLabel, statistic) + kMapExtension);
}

std::filesystem::path groupMap(const std::filesystem::path& groupRoot,
                               const std::string& contrastLabel, const std::string& covariateLabel,
                               const std::string& statistic) {
  if (covariateLabel.empty()) {
    return groupRoot / (groupStatMapStem(contrastLabel, statistic) + kMapExtension);
  }
  return groupRoot / ("group_contrast-" + contrastLabel + "_desc-" + covariateLabel + "_stat-" +
                      statistic + "_statmap" + kMapExtension);
}

}  // namespace tolvane::dataset
