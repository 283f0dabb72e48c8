// Holding a folder for one process at a time, across processes and machines that share
// it, for the short steps that must not interleave (judging what a folder holds and
// changing it).
//
// The lock is an advisory lock (flock) on a hidden file in the folder, ".tolvane-lock",
// whose text is the holder's host and process id, shown to a process that has to wait.
// The kernel releases the lock of a process that dies, so a killed holder never leaves
// the folder locked. Release removes the file while still holding it; a process that
// locked the file after it was unlinked finds that the name no longer leads to its file
// and tries again, so two processes never hold two different files of that name.
#pragma once

#include <filesystem>
#include <ostream>

namespace tolvane::formats {

inline constexpr const char* kFolderLockName = ".tolvane-lock";

class FolderLock {
 public:
  // Waits until the folder (which must exist) is this process's; says on `waiting`,
  // once, whom it waits for. Throws OutputError when the lock file cannot be made.
  FolderLock(const std::filesystem::path& folder, std::ostream* waiting = nullptr);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  std::filesystem::path file_;
  int descriptor_ = -1;
};

}  // namespace tolvane::formats
