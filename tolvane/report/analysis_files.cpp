// Names of a dataset's analysis files; see analysis_files.h.
#include "tolvane/report/analysis_files.h"

#include "tolvane/analysis/contrasts.h"

namespace tolvane::report {

std::filesystem::path defaultGlmRoot(const std::filesystem::path& root) {
  return dataset::DatasetFolders(root).glmRoot();
}

std::filesystem::path defaultGroupRoot(const std::filesystem::path& dataset) {
  return dataset / "derivatives" / "tolvane-group";
}

std::filesystem::path runMap(const std::filesystem::path& glmRoot, const dataset::DatasetRun& run,
                             const std::string& contrastLabel, const std::string& statistic) {
  return glmRoot / run.subject / "func" /
         (dataset::statMapStem(run.prefix, contrastLabel, statistic) + dataset::kMapExtension);
}

std::filesystem::path subjectMap(const std::filesystem::path& groupRoot, const std::string& subject,
                                 const std::string& contrastLabel, const std::string& statistic) {
  return groupRoot / subject /
         (dataset::statMapStem(subject, contrastLabel, statistic) + dataset::kMapExtension);
}

std::filesystem::path groupMap(const std::filesystem::path& groupRoot,
                               const std::string& contrastLabel, const std::string& covariate,
                               const std::string& statistic) {
  if (covariate.empty()) {
    return groupRoot /
           (dataset::groupStatMapStem(contrastLabel, statistic) + dataset::kMapExtension);
  }
  return groupRoot /
         ("group_contrast-" + contrastLabel + "_desc-" + analysis::bidsLabel(covariate) + "_stat-" +
          statistic + "_statmap" + dataset::kMapExtension);
}

}  // namespace tolvane::report
