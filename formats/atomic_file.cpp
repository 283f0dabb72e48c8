// Temporary-file-and-rename output and checked stdio writes; see atomic_file.h.
#include "formats/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tolvane::formats {
namespace {

// Longest file name (one path component) that Linux file systems accept.
constexpr std::size_t kLongestFileName = 255;

constexpr std::string_view kTemporaryPrefix = ".partial-";

// PREFIX + NAME, NAME cut from the front when the whole would be too long, so that the
// end of the name, with its extensions, stays.
std::string withinNameLength(const std::string& prefix, const std::string& name) {
  const std::size_t room = kLongestFileName - prefix.size();
  return prefix + (name.size() > room ? name.substr(name.size() - room) : name);
}

std::string temporaryPrefix(const std::string& process, std::string_view role) {
  std::string prefix = std::string(kTemporaryPrefix) + process + "-";
  if (!role.empty()) (prefix += role) += "-";
  return prefix;
}

// Hands the file's data (or, for a folder, its entries) to the disk.
std::error_code syncToDisk(const std::filesystem::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return {errno, std::generic_category()};
  const int synced = ::fsync(fd);
  const int syncErrno = errno;
  ::close(fd);
  return synced == 0 ? std::error_code() : std::error_code(syncErrno, std::generic_category());
}

}  // namespace

void checkFolderIsWritable(const std::filesystem::path& folder) {
  const std::filesystem::path probe = temporaryPathOf(folder / "probe");
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw OutputError(folder.string() + ": no file can be created there: " + std::strerror(errno));
  }
  ::close(fd);
  ::unlink(probe.c_str());
}

std::filesystem::path temporaryPathOf(const std::filesystem::path& target, std::string_view role) {
  const std::string prefix = temporaryPrefix(std::to_string(::getpid()), role);
  return target.parent_path() / withinNameLength(prefix, target.filename().string());
}

void removeAbandonedTemporaries(const std::filesystem::path& target) {
  const std::string targetName = target.filename().string();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(target.parent_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kTemporaryPrefix, 0) != 0) continue;
    const std::size_t digits = name.find_first_not_of("0123456789", kTemporaryPrefix.size());
    if (digits == std::string::npos || digits == kTemporaryPrefix.size()) continue;
    // The name that process gave a temporary of this target, shortened as it was.
    const std::string process =
        name.substr(kTemporaryPrefix.size(), digits - kTemporaryPrefix.size());
    if (name == withinNameLength(temporaryPrefix(process, {}), targetName)) {
      std::filesystem::remove(entry.path(), error);
    }
  }
}

std::filesystem::path fileInTheWay(const std::filesystem::path& path) {
  std::error_code error;
  for (std::filesystem::path at = path; !at.empty(); at = at.parent_path()) {
    const std::filesystem::file_status status = std::filesystem::status(at, error);
    if (std::filesystem::exists(status)) {
      return std::filesystem::is_directory(status) ? std::filesystem::path() : at;
    }
    if (at == at.parent_path()) break;
  }
  return {};
}

void createFolders(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!error) return;
  const std::filesystem::path file = fileInTheWay(folder);
  throw OutputError(folder.string() + ": the folder cannot be created: " +
                    (file.empty() ? error.message() : file.string() + " is a file, not a folder"));
}

AtomicFileWriter::AtomicFileWriter(std::filesystem::path target) : target_(std::move(target)) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(target_, error);
  if (std::filesystem::is_directory(status)) {
    throw OutputError(target_.string() + ": cannot be written: it is a folder");
  }
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    temporary_ = target_;
    inPlace_ = true;
    return;
  }
  temporary_ = temporaryPathOf(target_);
}

AtomicFileWriter::~AtomicFileWriter() {
  if (!committed_ && !inPlace_) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

void AtomicFileWriter::commit() {
  if (inPlace_) {
    committed_ = true;
    return;
  }
  // Without the flush, a crash soon after the rename could leave the new name on an
  // empty file, with the old file already gone.
  std::error_code error = syncToDisk(temporary_, O_RDONLY);
  if (!error) std::filesystem::rename(temporary_, target_, error);
  if (error) {
    throw OutputError(target_.string() + ": cannot be written: " + error.message());
  }
  committed_ = true;
  const std::filesystem::path folder = target_.parent_path().empty() ? "." : target_.parent_path();
  // The file is complete and in place; a folder that cannot be synced changes nothing
  // for this run, so that failure is not reported.
  syncToDisk(folder, O_RDONLY | O_DIRECTORY);
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
  written_ += bytes;
  if (written_ - handedToDisk_ < kWriteBehindBytes) return;
  if (std::fflush(file_) != 0) fail("cannot be written");
  // Only a hint: what it cannot do, the flush before the rename does, and reports.
  ::sync_file_range(::fileno(file_), static_cast<off64_t>(handedToDisk_),
                    static_cast<off64_t>(written_ - handedToDisk_), SYNC_FILE_RANGE_WRITE);
  handedToDisk_ = written_;
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

void writeTextFile(const std::filesystem::path& file, const std::string& text) {
  AtomicFileWriter writer(file);
  CheckedOutputFile out(writer.temporaryPath(), file.string());
  out.write(text);
  out.close();
  writer.commit();
}

}  // namespace tolvane::formats
