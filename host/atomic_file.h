// Writing output files so that a failure never leaves a truncated file behind.
//
// Data goes to a temporary sibling of the target (same folder, so the final rename
// stays on one file system; the name keeps the target's extensions, which some
// writers use to pick compression). Only a complete file is renamed onto the target;
// a writer that is destroyed without commit() removes its temporary file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace hvhost {

// A file could not be written; the message names it and says why.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::filesystem::path target);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  const std::filesystem::path& target() const { return target_; }
  const std::filesystem::path& temporaryPath() const { return temporary_; }
  // Moves the finished temporary file onto the target; throws OutputError.
  void commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  bool committed_ = false;
};

// A stdio stream whose every failure (short write, full disk on flush or close)
// throws OutputError naming `shownName`.
class CheckedOutputFile {
 public:
  CheckedOutputFile(const std::filesystem::path& path, std::string shownName);
  ~CheckedOutputFile();
  CheckedOutputFile(const CheckedOutputFile&) = delete;
  CheckedOutputFile& operator=(const CheckedOutputFile&) = delete;

  void write(const void* data, std::size_t bytes);
  void write(const std::string& text) { write(text.data(), text.size()); }
  void close();

 private:
  [[noreturn]] void fail(const char* what);
  std::FILE* file_;
  std::string shownName_;
};

}  // namespace hvhost
