// Judging and preparing the output folder; see output_folder.h.
#include "tolvane/simulate/output_folder.h"

#include <fstream>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/text_parsing.h"
#include "tolvane/simulate/dataset_writer.h"

namespace tolvane::simulate {
namespace {

using formats::InputError;

std::string contentsOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

FolderUse judgeOutputFolder(const study::Study& study, const DatasetLayout& layout,
                            bool overwrite) {
  const std::filesystem::path& root = layout.root();
  std::error_code error;
  const auto status = std::filesystem::status(root, error);
  const std::filesystem::path file = formats::fileInTheWay(root);
  if (!file.empty() && file != root) {
    throw InputError(root.string() + ": expected an output folder, but " + file.string() +
                     " is a file, so no folder can be made inside it; choose another --output");
  }
  if (!std::filesystem::exists(status)) return FolderUse::Fresh;
  if (!std::filesystem::is_directory(status)) {
    throw InputError(root.string() + ": expected an output folder, found a file; choose another --output");
  }
  if (std::filesystem::is_empty(root, error)) return FolderUse::Fresh;
  if (overwrite) return FolderUse::Fresh;
  if (!std::filesystem::exists(layout.identity())) {
    throw InputError(root.string() +
                     ": expected an empty output folder or one of this study, "
                     "found other files; choose another --output or give --overwrite");
  }
  if (contentsOf(layout.identity()) != identityText(study)) {
    throw InputError(root.string() +
                     ": expected an output folder of this study, found one of "
                     "another study file, seed or size (see " +
                     layout.identity().string() + "); choose another --output or give --overwrite");
  }
  return FolderUse::Resume;
}

void prepareOutputFolder(const DatasetLayout& layout, FolderUse use) {
  const std::filesystem::path& root = layout.root();
  try {
    formats::createFolders(root);
    formats::checkFolderIsWritable(root);
  } catch (const formats::OutputError& error) {
    throw formats::OutputError(std::string(error.what()) + "; choose another --output");
  }
  if (use == FolderUse::Resume) return;
  // An overwrite removes what a study writes, so that no file of an earlier, larger
  // study (a subject more, other conditions) stays among the new ones.
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("sub-", 0) == 0 && entry.is_directory()) std::filesystem::remove_all(entry);
  }
  std::filesystem::remove_all(layout.truthRoot());
  std::filesystem::remove_all(layout.codeFolder());
  for (const auto& file : {layout.description(), layout.readme(), layout.participants()}) {
    std::filesystem::remove(file);
  }
}

}  // namespace tolvane::simulate
