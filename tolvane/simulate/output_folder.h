// What the output folder holds, and what a study may do with it.
//
// The folder is judged while this process holds it (formats/folder_lock.h), so that
// shards started together on one folder see each other's work consistently; a missing
// folder is created first, since the lock lives in it. Hidden files of tolvane's own
// (the lock, staging folders) do not count as contents, and staging folders that killed
// processes left behind are removed.
//
//   - An empty folder is Fresh.
//   - A folder whose identity file matches this study (study file's hash, seed,
//     subjects, runs) holds an earlier, perhaps unfinished, run of it, or another
//     shard's runs: Resume completes it and keeps the files that exist (they are
//     complete, since each run's files are moved in only when all are written).
//   - Anything else is refused with an InputError, unless the overwrite was asked for:
//     then the files the earlier study's record lists (dataset_records.h) are removed
//     when the first new run is in place, and every other file stays. The overwrite is
//     refused when a file of the new study's would replace one that no study wrote, when
//     the folder has no record to trust, and when an input of the study lies inside the
//     folder.
#pragma once

#include <filesystem>
#include <ostream>

#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

enum class FolderUse { Fresh, Resume, Overwrite };

struct OutputFolder {
  FolderUse use = FolderUse::Fresh;
  bool createdRoot = false;  // the folder did not exist before this process
};

// Creates the folder when missing and judges it; throws InputError (a refusal, also for
// a place where no file can be created: that is known before any work) and removes the
// folder again when it created it. `waiting` hears whom the process waits for.
OutputFolder openOutputFolder(const study::Study& study, const DatasetLayout& layout,
                              bool overwrite, std::ostream& waiting);

}  // namespace tolvane::simulate
