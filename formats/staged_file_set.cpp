// A set of files moved into place together; see staged_file_set.h.
#include "formats/staged_file_set.h"

#include <unistd.h>

#include "formats/atomic_file.h"
#include "formats/errors.h"

namespace tolvane::formats {

StagedFileSet::StagedFileSet(std::filesystem::path folder) : folder_(std::move(folder)) {
  std::error_code error;
  for (std::filesystem::path missing = folder_;
       !missing.empty() && !std::filesystem::exists(missing, error);
       missing = missing.parent_path()) {
    created_.push_back(missing);
  }
  std::filesystem::create_directories(folder_, error);
  try {
    checkFolderIsWritable(folder_);
    staging_ = folder_ / (".tolvane-staging-" + std::to_string(::getpid()));
    // A folder of this name is a leftover of a killed process that had our process id.
    std::filesystem::remove_all(staging_, error);
    if (!std::filesystem::create_directory(staging_, error)) {
      throw OutputError(staging_.string() + ": the staging folder cannot be created: " +
                        (error ? error.message() : "it exists"));
    }
  } catch (const OutputError&) {
    removeCreatedFolders();
    throw;
  }
}

void StagedFileSet::removeCreatedFolders() {
  // Only empty folders go: remove() leaves a folder that something else wrote into.
  std::error_code ignored;
  for (const std::filesystem::path& folder : created_) std::filesystem::remove(folder, ignored);
}

StagedFileSet::~StagedFileSet() {
  std::error_code ignored;
  std::filesystem::remove_all(staging_, ignored);
  if (!committed_) removeCreatedFolders();
}

std::filesystem::path StagedFileSet::stagedPath(const std::string& name) {
  names_.push_back(name);
  return staging_ / name;
}

std::vector<std::filesystem::path> StagedFileSet::commit() {
  for (const std::string& name : names_) {
    if (!std::filesystem::is_regular_file(staging_ / name)) {
      throw OutputError((folder_ / name).string() + ": cannot be written: it was not staged");
    }
    if (std::filesystem::is_directory(folder_ / name)) {
      throw OutputError((folder_ / name).string() + ": cannot be written: it is a folder");
    }
  }
  std::vector<std::filesystem::path> placed;
  for (const std::string& name : names_) {
    std::error_code error;
    std::filesystem::rename(staging_ / name, folder_ / name, error);
    if (error) {
      throw OutputError((folder_ / name).string() + ": cannot be written: " + error.message());
    }
    placed.push_back(folder_ / name);
  }
  committed_ = true;
  return placed;
}

}  // namespace tolvane::formats
