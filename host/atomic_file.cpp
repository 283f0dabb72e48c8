// Temporary-file-and-rename output and checked stdio writes; see atomic_file.h.
#include "host/atomic_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace hvhost {

AtomicFileWriter::AtomicFileWriter(std::filesystem::path target) : target_(std::move(target)) {
  const std::string hidden =
      ".hvhost-" + std::to_string(::getpid()) + "-" + target_.filename().string();
  temporary_ = target_.parent_path() / hidden;
}

AtomicFileWriter::~AtomicFileWriter() {
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

void AtomicFileWriter::commit() {
  std::error_code error;
  std::filesystem::rename(temporary_, target_, error);
  if (error) {
    throw OutputError(target_.string() + ": cannot be written: " + error.message());
  }
  committed_ = true;
}

CheckedOutputFile::CheckedOutputFile(const std::filesystem::path& path, std::string shownName)
    : file_(std::fopen(path.c_str(), "wb")), shownName_(std::move(shownName)) {
  if (file_ == nullptr) fail("cannot be created");
}

CheckedOutputFile::~CheckedOutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void CheckedOutputFile::write(const void* data, std::size_t bytes) {
  if (bytes > 0 && std::fwrite(data, 1, bytes, file_) != bytes) fail("cannot be written");
}

void CheckedOutputFile::close() {
  const bool flushed = std::fflush(file_) == 0;
  const int flushErrno = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!flushed) {
    errno = flushErrno;
    fail("cannot be written");
  }
  if (!closed) fail("cannot be written");
}

void CheckedOutputFile::fail(const char* what) {
  throw OutputError(shownName_ + ": " + what + ": " + std::strerror(errno));
}

}  // namespace hvhost
