// Holding a run's files back until it completes; see staged_outputs.h.
#include "host/session/staged_outputs.h"

#include <algorithm>

#include "formats/atomic_file.h"
#include "host/dialogues/console.h"
#include "host/shared_names.h"

namespace hvhost {
namespace {

// Devices and pipes are written where they are: they cannot hold a file back. A folder
// is left to the writer, which refuses it when saving, where the user learns of it.
bool canBeStaged(const std::filesystem::path& target) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(target, error);
  return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

}  // namespace

StagedOutputs::~StagedOutputs() {
  for (const Entry& entry : entries_) {
    std::error_code ignored;
    std::filesystem::remove(entry.staged, ignored);
  }
}

std::filesystem::path StagedOutputs::stage(const std::filesystem::path& target,
                                           std::string description) {
  if (!canBeStaged(target)) return target;
  const auto same = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& entry) { return entry.target == target; });
  if (same != entries_.end()) {
    same->description = std::move(description);
    return same->staged;
  }
  entries_.push_back({target, formats::temporaryPathOf(target, "staged"), std::move(description)});
  return entries_.back().staged;
}

std::string StagedOutputs::shownAsTarget(std::string message,
                                         const std::filesystem::path& staged) const {
  for (const Entry& entry : entries_) {
    if (entry.staged != staged) continue;
    const std::string stagedName = staged.string();
    for (std::size_t at = message.find(stagedName); at != std::string::npos;
         at = message.find(stagedName, at + entry.target.string().size())) {
      message.replace(at, stagedName.size(), entry.target.string());
    }
  }
  return message;
}

void StagedOutputs::drop(const std::filesystem::path& staged) {
  std::erase_if(entries_, [&](const Entry& entry) { return entry.staged == staged; });
}

bool StagedOutputs::commit(Console& console) {
  bool allCommitted = true;
  for (const Entry& entry : entries_) {
    std::error_code error;
    std::filesystem::rename(entry.staged, entry.target, error);
    if (error) {
      console.error(entry.target.string() + ": cannot be written: " + error.message());
      std::filesystem::remove(entry.staged, error);
      allCommitted = false;
      continue;
    }
    console.note("wrote " + entry.target.string() + " (" + entry.description + ")");
  }
  entries_.clear();
  return allCommitted;
}

void StagedOutputs::discard(Console& console) {
  for (const Entry& entry : entries_) {
    std::error_code ignored;
    std::filesystem::remove(entry.staged, ignored);
    console.note("the run did not complete, so " + entry.target.string() +
                 " was not saved; an earlier file of that name is as it was");
  }
  entries_.clear();
}

}  // namespace hvhost
