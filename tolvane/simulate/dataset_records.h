// The dataset's own record of the files a study writes into its folder,
// code/tolvane/files.txt: one path a line, relative to the folder, sorted.
//
// The record is what --overwrite trusts: it removes exactly the files an earlier study
// listed there, and never a file that no study wrote (a README of the user's, a
// protocol kept beside the data, another program's outputs). The list follows from the
// study alone, so every process of a study (shards on several machines) writes the same
// bytes, and it is written before the study's other files, so that a study killed at
// any point is still described by it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

std::filesystem::path recordsFile(const DatasetLayout& layout);

// Every file the study writes (the record itself included), relative to the folder.
std::vector<std::filesystem::path> studyFiles(const study::Study& study,
                                              const DatasetLayout& layout);

std::string recordsText(const std::vector<std::filesystem::path>& files);

// The files the folder's record lists, or nothing when it has none. A record that is not
// one (an absolute path, a step up with "..", a line that is no path) is refused with an
// InputError, so that a damaged or hostile record can never remove a file outside the
// folder.
std::optional<std::vector<std::filesystem::path>> readRecords(const DatasetLayout& layout);

// Removes the recorded files that exist (files only, never a folder's contents), then
// the folders they leave empty, up to the dataset's root.
void removeRecordedFiles(const DatasetLayout& layout,
                         const std::vector<std::filesystem::path>& records);

}  // namespace tolvane::simulate
