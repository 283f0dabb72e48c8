// What the output folder holds, and what a study may do with it.
//
// A missing or empty folder is new. A folder whose identity file matches this study
// (study file's hash, seed, subjects, runs) holds an earlier, perhaps unfinished, run
// of the same study: it is completed, and files that exist are kept (they are
// complete, since every file is written atomically). Anything else (other files, or
// another study) is refused with an InputError unless the overwrite was asked for;
// then the files of an earlier study are removed and every file is written afresh,
// while files that no study writes are left alone.
#pragma once

#include <filesystem>

#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

enum class FolderUse { Fresh, Resume };

// Decides without changing anything; throws InputError.
FolderUse judgeOutputFolder(const study::Study& study, const DatasetLayout& layout, bool overwrite);

// Creates the folder, or clears an earlier study's files for an overwrite.
void prepareOutputFolder(const DatasetLayout& layout, FolderUse use);

}  // namespace tolvane::simulate
