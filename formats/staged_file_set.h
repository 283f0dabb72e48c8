// Writing a set of files that belong together (a model's maps) so that a failure part
// way leaves none of them behind.
//
// Each file of the set is written into a hidden staging folder inside the target folder
// (".tolvane-staging-HOST-PID", on the same file system, so the final moves are
// renames; the host's name lets processes on several machines share a folder).
// commit() checks that every name can take its file, then moves the files into place,
// replacing files of the same names, and removes the staging folder. A set destroyed
// without commit() (an exception: a full disk, bad input found late) removes the
// staging folder and what it holds, so the folder keeps its previous set, or nothing:
// folders it had to create are removed again.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::formats {

// This process's staging folder's name: ".tolvane-staging-HOST-PID".
std::string stagingFolderName();

// Removes the staging folders in `folder` that processes of this machine left behind
// when they were killed: those whose process no longer exists. Staging folders of
// running processes, and of other machines, stay.
void removeStaleStagingFolders(const std::filesystem::path& folder);

// Whether `name` is the name of a staging folder (of any process).
bool isStagingFolderName(const std::string& name);

class StagedFileSet {
 public:
  // Creates the folder when missing and the staging folder in it; throws OutputError,
  // saying why, when either cannot be made or written.
  explicit StagedFileSet(std::filesystem::path folder);
  // The same for a command's outputs, opened before its work: a folder where no file
  // can be created is then a setup error (InputError, "...; choose another `option`"),
  // like every refusal known before any work.
  static StagedFileSet beforeWork(std::filesystem::path folder, const std::string& option);
  ~StagedFileSet();
  StagedFileSet(const StagedFileSet&) = delete;
  StagedFileSet& operator=(const StagedFileSet&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  // Where to write the set's file `name`: a file name, or a relative path into
  // subfolders ("sub-01/NAME"), whose staged folders are made here.
  std::filesystem::path stagedPath(const std::string& name);
  // Moves the staged files into the folder (making the subfolders they need); returns
  // their final paths in the order they were staged. Throws OutputError, before moving
  // anything, when a name is taken by a folder or a staged file is missing. The moves
  // are renames on one file system, done one after another in a moment.
  std::vector<std::filesystem::path> commit();

 private:
  void removeCreatedFolders();

  std::filesystem::path folder_, staging_;
  std::vector<std::string> names_;
  std::vector<std::filesystem::path> created_;  // missing folders it made, deepest first
  bool committed_ = false;
};

}  // namespace tolvane::formats
