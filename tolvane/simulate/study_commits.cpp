// A study's files moved in a whole run at a time; see study_commits.h.
#include "tolvane/simulate/study_commits.h"

#include <fstream>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/errors.h"
#include "formats/folder_lock.h"
#include "formats/staged_file_set.h"
#include "tolvane/simulate/dataset_records.h"
#include "tolvane/simulate/dataset_writer.h"

namespace tolvane::simulate {
namespace {

std::filesystem::path under(const std::filesystem::path& staging, const DatasetLayout& layout,
                            const std::filesystem::path& file) {
  return file.empty() ? file : staging / file.lexically_relative(layout.root());
}

std::string contentsOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

StudyCommits::StudyCommits(const study::Study& study, const DatasetLayout& layout,
                           OutputFolder folder)
    : study_(study),
      layout_(layout),
      folder_(folder),
      staging_(layout.root() / formats::stagingFolderName()) {
  std::error_code error;
  std::filesystem::remove_all(staging_, error);  // a killed process's, that had our id
  formats::createFolders(staging_);
}

StudyCommits::~StudyCommits() {
  std::error_code ignored;
  std::filesystem::remove_all(staging_, ignored);
  if (folder_.createdRoot) std::filesystem::remove(layout_.root(), ignored);
}

RunFiles StudyCommits::staged(const RunFiles& files) const {
  RunFiles staged = files;
  for (std::filesystem::path* file : staged.names()) *file = under(staging_, layout_, *file);
  return staged;
}

void StudyCommits::placeDatasetFiles() {
  if (datasetPlaced_) return;
  const bool overwrite = folder_.use == FolderUse::Overwrite;
  if (overwrite) {
    if (const auto records = readRecords(layout_)) removeRecordedFiles(layout_, *records);
  } else if (std::filesystem::exists(layout_.identity()) &&
             contentsOf(layout_.identity()) != identityText(study_)) {
    throw formats::InputError(layout_.root().string() +
                              ": another study was written into this folder while this one "
                              "ran (see " +
                              layout_.identity().string() + "); choose another --output");
  }
  const std::filesystem::path records = recordsFile(layout_);
  if (overwrite || !std::filesystem::exists(records)) {
    formats::createFolders(records.parent_path());
    formats::writeTextFile(records, recordsText(studyFiles(study_, layout_)));
  }
  writeDatasetFiles(study_, layout_, !overwrite);
  writeGroupTruth(study_, layout_, !overwrite);
  datasetPlaced_ = true;
}

void StudyCommits::commitRun(const RunFiles& files, const RunFiles& staged) {
  const std::lock_guard<std::mutex> guard(placing_);
  const formats::FolderLock lock(layout_.root());
  placeDatasetFiles();
  const auto targets = files.all();
  const auto sources = staged.all();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    // A file in place is kept: one of a run that an earlier process left incomplete
    // (complete itself, and the same bytes), since an overwrite removed the earlier
    // study's files before its first run.
    std::error_code exists;
    if (std::filesystem::exists(std::filesystem::symlink_status(targets[i], exists))) continue;
    formats::createFolders(targets[i].parent_path());
    // Temporaries of an earlier, killed writer of this file (before runs were staged).
    formats::removeAbandonedTemporaries(targets[i]);
    std::error_code error;
    std::filesystem::rename(sources[i], targets[i], error);
    if (error) {
      throw formats::OutputError(targets[i].string() + ": cannot be written: " + error.message());
    }
  }
}

void StudyCommits::commitDatasetFiles() {
  const std::lock_guard<std::mutex> guard(placing_);
  const formats::FolderLock lock(layout_.root());
  placeDatasetFiles();
}

}  // namespace tolvane::simulate
