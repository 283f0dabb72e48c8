// The record of a study's files; see dataset_records.h.
#include "tolvane/simulate/dataset_records.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "formats/errors.h"
#include "formats/text_parsing.h"

namespace tolvane::simulate {
namespace {

// A record of more lines than this is no record of ours: a study of the largest size
// writes far fewer files, and the reader must not hold an endless file.
constexpr std::size_t kMaxRecordBytes = std::size_t{256} << 20;

bool staysInside(const std::filesystem::path& relative) {
  if (relative.empty() || relative.is_absolute() || relative.has_root_name()) return false;
  return std::none_of(relative.begin(), relative.end(), [](const std::filesystem::path& part) {
    return part == ".." || part == ".";
  });
}

}  // namespace

std::filesystem::path recordsFile(const DatasetLayout& layout) {
  return layout.codeFolder() / "files.txt";
}

std::vector<std::filesystem::path> studyFiles(const study::Study& study,
                                              const DatasetLayout& layout) {
  std::vector<std::filesystem::path> files{
      recordsFile(layout), layout.identity(),     layout.studyCopy(),       layout.description(),
      layout.readme(),     layout.participants(), layout.truthDescription()};
  if (study.subjectsDiffer()) {
    for (std::size_t c = 0; c < study.protocol.conditions.size(); ++c) {
      files.push_back(layout.groupEffectMap(c));
      files.push_back(layout.groupEffectSidecar(c));
    }
  }
  for (int subject = 1; subject <= study.subjects; ++subject) {
    for (int run = 1; run <= study.runs; ++run) {
      for (const std::filesystem::path& file : layout.run(subject, run).all()) {
        files.push_back(file);
      }
    }
  }
  for (std::filesystem::path& file : files) file = file.lexically_relative(layout.root());
  std::sort(files.begin(), files.end());
  return files;
}

std::string recordsText(const std::vector<std::filesystem::path>& files) {
  std::string text;
  for (const std::filesystem::path& file : files) text += file.generic_string() + "\n";
  return text;
}

std::optional<std::vector<std::filesystem::path>> readRecords(const DatasetLayout& layout) {
  const std::filesystem::path file = recordsFile(layout);
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  if (std::filesystem::file_size(file, error) > kMaxRecordBytes) {
    throw formats::InputError(file.string() + ": expected the list of a study's files, found " +
                              "a file of more than 256 MiB; remove the folder yourself");
  }
  std::ifstream in(file, std::ios::binary);
  std::vector<std::filesystem::path> records;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::filesystem::path relative(line);
    if (!staysInside(relative) || line.find('\0') != std::string::npos) {
      formats::failAt(file, number,
                      "expected a path inside the dataset, found " + formats::inQuotes(line) +
                          "; this record cannot be trusted, so --overwrite "
                          "removes nothing: remove the folder yourself");
    }
    records.push_back(relative);
  }
  return records;
}

void removeRecordedFiles(const DatasetLayout& layout,
                         const std::vector<std::filesystem::path>& records) {
  const std::filesystem::path& root = layout.root();
  std::set<std::filesystem::path> folders;
  for (const std::filesystem::path& relative : records) {
    const std::filesystem::path file = root / relative;
    std::error_code error;
    // A symbolic link is removed as itself; a folder in a file's place is not ours.
    if (std::filesystem::is_directory(std::filesystem::symlink_status(file, error))) continue;
    std::filesystem::remove(file, error);
    if (error) {
      throw formats::OutputError(
          file.string() + ": the earlier study's file cannot be removed: " + error.message());
    }
    for (std::filesystem::path up = relative.parent_path(); !up.empty(); up = up.parent_path()) {
      folders.insert(up);
    }
  }
  // Deepest first; remove() leaves a folder that holds anything else.
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    std::error_code ignored;
    std::filesystem::remove(root / *folder, ignored);
  }
}

}  // namespace tolvane::simulate
