// The files that a run saves, held back until the run completes.
//
// The plug-in asks for some files mid-run (the design matrix, before the cluster is
// even chosen) and the run may still end early after that: a protocol that cannot be
// read, a script out of step, a cancelled dialogue. A user expects such a run to leave
// the output folder as it was. So each file is written at once, in full, to a hidden
// sibling of its target (".partial-PID-staged-NAME", keeping its extensions): a full
// disk is found and reported at the moment of saving, and what is saved is the
// document as the plug-in had it then. Only when the run completes are the staged
// files renamed onto their targets; when it ends early, or hvhost is stopped, they
// are removed and the targets were never touched. A target that is a device or a pipe
// cannot be held back and is written directly, as before.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace hvhost {

class Console;

class StagedOutputs {
 public:
  StagedOutputs() = default;
  ~StagedOutputs();  // discards whatever was not committed
  StagedOutputs(const StagedOutputs&) = delete;
  StagedOutputs& operator=(const StagedOutputs&) = delete;

  // Where to write `target` now. `description` ("4 x 4 x 3 voxels, 12 time points")
  // is shown when the file is committed. Saving the same target again replaces what
  // was staged for it.
  std::filesystem::path stage(const std::filesystem::path& target, std::string description);
  // The writers name the file they write; the user knows the file by its target.
  std::string shownAsTarget(std::string message, const std::filesystem::path& staged) const;
  // Forgets a staged file whose writing failed (the writer removed it).
  void drop(const std::filesystem::path& staged);

  // Renames every staged file onto its target, noting each on the console. False
  // when one could not be renamed (reported, and its staged file removed).
  bool commit(Console& console);
  // Removes every staged file; notes on the console which files were not saved.
  void discard(Console& console);

 private:
  struct Entry {
    std::filesystem::path target;
    std::filesystem::path staged;
    std::string description;
  };
  std::vector<Entry> entries_;
};

}  // namespace hvhost
