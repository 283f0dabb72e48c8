// Judging the output folder; see output_folder.h.
#include "tolvane/simulate/output_folder.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/folder_lock.h"
#include "formats/staged_file_set.h"
#include "formats/text_parsing.h"
#include "tolvane/simulate/dataset_records.h"
#include "tolvane/simulate/dataset_writer.h"

namespace tolvane::simulate {
namespace {

using formats::InputError;

// Names shown in a refusal before "and N more".
constexpr std::size_t kNamesShown = 3;

std::string contentsOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool isEmptyButForOurOwn(const std::filesystem::path& root) {
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name != formats::kFolderLockName && !formats::isStagingFolderName(name)) return false;
  }
  return true;
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < std::min(names.size(), kNamesShown); ++i) {
    text += (i ? ", " : "") + names[i];
  }
  if (names.size() > kNamesShown) {
    text += " and " + std::to_string(names.size() - kNamesShown) + " more";
  }
  return text;
}

// The refusals of an overwrite (output_folder.h), before anything is changed.
void checkOverwrite(const study::Study& study, const DatasetLayout& layout) {
  const std::filesystem::path& root = layout.root();
  const std::filesystem::path inside = std::filesystem::weakly_canonical(root);
  std::vector<std::string> inputsInside;
  for (const std::filesystem::path& input : study.inputFiles) {
    const std::filesystem::path relative =
        std::filesystem::weakly_canonical(input).lexically_relative(inside);
    if (!relative.empty() && *relative.begin() != "..") inputsInside.push_back(input.string());
  }
  if (!inputsInside.empty()) {
    throw InputError(root.string() + ": --overwrite would write into the folder that holds the "
                     "study's inputs (" + listed(inputsInside) +
                     "); keep them outside the output folder, or choose another --output");
  }
  const auto records = readRecords(layout);
  if (!records && std::filesystem::exists(layout.identity())) {
    throw InputError(root.string() + ": expected a dataset whose record " +
                     recordsFile(layout).string() +
                     " lists the files its study wrote, found none (an earlier tolvane wrote "
                     "it), so --overwrite cannot tell its files from yours; remove it yourself "
                     "or choose another --output");
  }
  std::vector<std::string> notOurs;
  for (const std::filesystem::path& file : studyFiles(study, layout)) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(root / file, error))) continue;
    if (!records || std::find(records->begin(), records->end(), file) == records->end()) {
      notOurs.push_back((root / file).string());
    }
  }
  if (!notOurs.empty()) {
    throw InputError(root.string() + ": --overwrite would replace files that no study wrote (" +
                     listed(notOurs) + "); move them away or choose another --output");
  }
}

FolderUse judge(const study::Study& study, const DatasetLayout& layout, bool overwrite) {
  const std::filesystem::path& root = layout.root();
  if (isEmptyButForOurOwn(root)) return FolderUse::Fresh;
  if (overwrite) {
    checkOverwrite(study, layout);
    return FolderUse::Overwrite;
  }
  if (!std::filesystem::exists(layout.identity())) {
    throw InputError(root.string() +
                     ": expected an empty output folder or one of this study, "
                     "found other files; choose another --output, or give --overwrite to "
                     "replace an earlier study there (other files stay)");
  }
  if (contentsOf(layout.identity()) != identityText(study)) {
    throw InputError(root.string() +
                     ": expected an output folder of this study, found one of "
                     "another study file, seed or size (see " +
                     layout.identity().string() + "); choose another --output or give --overwrite");
  }
  return FolderUse::Resume;
}

}  // namespace

OutputFolder openOutputFolder(const study::Study& study, const DatasetLayout& layout,
                              bool overwrite, std::ostream& waiting) {
  const std::filesystem::path& root = layout.root();
  std::error_code error;
  const std::filesystem::path file = formats::fileInTheWay(root);
  if (!file.empty() && file != root) {
    throw InputError(root.string() + ": expected an output folder, but " + file.string() +
                     " is a file, so no folder can be made inside it; choose another --output");
  }
  const auto status = std::filesystem::status(root, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    throw InputError(root.string() + ": expected an output folder, found a file; choose another --output");
  }
  OutputFolder folder;
  folder.createdRoot = !std::filesystem::exists(status);
  try {
    formats::createFolders(root);
    // The writing check leaves a file there for a moment, which another process judging
    // the folder must not see: it is made while the folder is held.
    const formats::FolderLock lock(root, &waiting);
    formats::checkFolderIsWritable(root);
    formats::removeStaleStagingFolders(root);
    folder.use = judge(study, layout, overwrite);
  } catch (const formats::OutputError& problem) {
    // Known before any work: a setup error, like any other refusal.
    if (folder.createdRoot) std::filesystem::remove(root, error);
    throw InputError(std::string(problem.what()) + "; choose another --output");
  } catch (...) {
    if (folder.createdRoot) std::filesystem::remove(root, error);
    throw;
  }
  return folder;
}

}  // namespace tolvane::simulate
