// A set of files moved into place together; see staged_file_set.h.
#include "formats/staged_file_set.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>

#include "formats/atomic_file.h"
#include "formats/errors.h"

namespace tolvane::formats {
namespace {

constexpr std::string_view kStagingPrefix = ".tolvane-staging-";

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// Whether the process `pid` of this machine is gone: kill with signal 0 reports ESRCH
// only then (EPERM means it exists, under another user).
bool processIsGone(long pid) {
  return pid > 0 && pid <= INT_MAX && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string stagingFolderName() {
  return std::string(kStagingPrefix) + hostName() + "-" + std::to_string(::getpid());
}

bool isStagingFolderName(const std::string& name) {
  return name.rfind(kStagingPrefix, 0) == 0;
}

void removeStaleStagingFolders(const std::filesystem::path& folder) {
  std::error_code error;
  const std::string host = hostName();
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!isStagingFolderName(name)) continue;
    // ".tolvane-staging-HOST-PID", or ".tolvane-staging-PID" of earlier versions.
    const std::string rest = name.substr(kStagingPrefix.size());
    const std::size_t dash = rest.rfind('-');
    const std::string owner = dash == std::string::npos ? host : rest.substr(0, dash);
    const std::string digits = dash == std::string::npos ? rest : rest.substr(dash + 1);
    long pid = 0;
    const auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (problem != std::errc() || end != digits.data() + digits.size() || owner != host) continue;
    std::error_code ignored;
    if (processIsGone(pid)) std::filesystem::remove_all(entry.path(), ignored);
  }
}

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
    removeStaleStagingFolders(folder_);
    staging_ = folder_ / stagingFolderName();
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

StagedFileSet StagedFileSet::beforeWork(std::filesystem::path folder, const std::string& option) {
  try {
    return StagedFileSet(std::move(folder));
  } catch (const OutputError& error) {
    throw InputError(std::string(error.what()) + "; choose another " + option);
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
  const std::filesystem::path path = staging_ / name;
  if (path.parent_path() != staging_) createFolders(path.parent_path());
  return path;
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
    const std::filesystem::path target = folder_ / name;
    if (target.parent_path() != folder_) createFolders(target.parent_path());
    std::filesystem::rename(staging_ / name, target, error);
    if (error) {
      throw OutputError((folder_ / name).string() + ": cannot be written: " + error.message());
    }
    placed.push_back(folder_ / name);
  }
  committed_ = true;
  return placed;
}

}  // namespace tolvane::formats
