// Moving a study's files into its output folder a whole run at a time.
//
// Each run's files are written into this process's staging folder inside the output
// folder (formats/staged_file_set.h names it), with the same relative paths, and moved
// into place together once all are written, while the process holds the folder
// (formats/folder_lock.h). The first run moved in brings the dataset's own files with
// it: the record of its files first (dataset_records.h), the identity, descriptions,
// README, participants and group truth; for an overwrite, the earlier study's recorded
// files are removed just before. So a study that fails before its first run is whole
// leaves the folder as it was, and any failure leaves only whole runs. A kill between
// two moves of a run leaves whole files of it, which a resumed study completes: files
// in place are kept, never replaced.
#pragma once

#include <filesystem>
#include <mutex>

#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/output_folder.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

class StudyCommits {
 public:
  // Creates the staging folder; throws OutputError.
  StudyCommits(const study::Study& study, const DatasetLayout& layout, OutputFolder folder);
  // Removes the staging folder, and the output folder when this process created it and
  // it stayed empty.
  ~StudyCommits();
  StudyCommits(const StudyCommits&) = delete;
  StudyCommits& operator=(const StudyCommits&) = delete;

  // The run's files under the staging folder, where they are written.
  RunFiles staged(const RunFiles& files) const;
  // Moves a run's staged files onto `files`, with the dataset's own files when they
  // are not in place yet. Throws OutputError, or InputError when another study took
  // the folder meanwhile.
  void commitRun(const RunFiles& files, const RunFiles& staged);
  // Puts the dataset's own files in place when no run is left to bring them.
  void commitDatasetFiles();

 private:
  void placeDatasetFiles();  // with the folder held

  const study::Study& study_;
  const DatasetLayout& layout_;
  OutputFolder folder_;
  std::filesystem::path staging_;
  std::mutex placing_;
  bool datasetPlaced_ = false;
};

}  // namespace tolvane::simulate
