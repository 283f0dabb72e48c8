// The runs a dataset promises; see promised_runs.h.
#include "tolvane/dataset/promised_runs.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "tolvane/dataset/names.h"

namespace tolvane::dataset {
namespace {

// The study file's limits (study/study.h): a record beyond them is not one of ours.
constexpr std::int64_t kMostSubjects = 999, kMostRuns = 99;

}  // namespace

std::vector<std::string> missingPromisedRuns(
    const std::filesystem::path& dataset, const std::vector<std::pair<std::string, int>>& found) {
  const std::filesystem::path identity = DatasetFolders(dataset).identity();
  std::ifstream in(identity);
  if (!in) return {};
  const nlohmann::json study = nlohmann::json::parse(in, nullptr, false);
  const auto count = [&](const char* key) {
    return study.is_object() && study.contains(key) && study[key].is_number_integer()
               ? study[key].get<std::int64_t>()
               : std::int64_t{-1};
  };
  const std::int64_t subjects = count("Subjects"), runs = count("Runs");
  if (subjects < 1 || runs < 1 || subjects > kMostSubjects || runs > kMostRuns) {
    throw formats::InputError(identity.string() +
                              ": expected the study's Subjects and Runs as simulate writes "
                              "them; the dataset's completeness cannot be told");
  }
  std::vector<std::string> missing;
  for (int s = 1; s <= subjects; ++s) {
    const std::string subject = subjectEntity(s, static_cast<int>(subjects));
    for (int r = 1; r <= runs; ++r) {
      if (std::find(found.begin(), found.end(), std::pair(subject, r)) == found.end()) {
        missing.push_back(subject + " run " + std::to_string(r));
      }
    }
  }
  return missing;
}

}  // namespace tolvane::dataset
