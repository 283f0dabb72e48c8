// The study's noise as the analysis needs it; see study_noise.h.
#include "tolvane/dataset/study_noise.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <toml++/toml.h>

namespace tolvane::dataset {

bool studyNoiseIsAutocorrelated(const DatasetRun& run) {
  std::ifstream in(run.boldSidecar);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object() || !json.contains("StudyFile") || !json["StudyFile"].is_string()) {
    return false;
  }
  const std::filesystem::path dataset = run.bold.parent_path().parent_path().parent_path();
  try {
    const toml::table study =
        toml::parse_file((dataset / json["StudyFile"].get<std::string>()).string());
    const auto noise = study["noise"];
    return noise["model"].value_or(std::string()) == "ar1" || noise["ar"].is_array() ||
           noise["ma"].is_array();
  } catch (const toml::parse_error&) {
    return false;
  }
}

}  // namespace tolvane::dataset
