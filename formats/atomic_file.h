// Writing output files so that a failure never leaves a truncated file behind.
//
// Data goes to a temporary sibling of the target (same folder, so the final rename
// stays on one file system; the name keeps the target's extensions, which some
// writers use to pick compression). Only a complete file, flushed to the disk, is
// renamed onto the target, so an existing file of that name stays as it was until the
// new one is whole; a writer that is destroyed without commit() removes its temporary
// file. A target that exists and is a device or a pipe (/dev/null, /dev/full, a FIFO)
// is written in place instead: it cannot hold a half-written file, and renaming onto
// it would replace the device.
//
// Temporaries, of this writer and of every other that holds a file back, are named
// ".partial-PID-NAME" (or ".partial-PID-ROLE-NAME"): hidden, the writing process's id,
// and the target's name, cut from the front when the whole would be longer than a file
// name may be, so that the extensions stay.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "formats/errors.h"

namespace tolvane::formats {

// Throws OutputError, saying why, unless a file can be created in `folder`: tried for
// real, since permission bits do not tell for root or for a read-only file system.
void checkFolderIsWritable(const std::filesystem::path& folder);

// Creates `folder` and its missing parents; throws OutputError saying why not (a file
// where a folder of the path should be, a read-only place, a full disk).
void createFolders(const std::filesystem::path& folder);

// The nearest of `path` and its parents that exists and is not a folder, or empty: the
// file that stands in the way of creating `path` as a folder.
std::filesystem::path fileInTheWay(const std::filesystem::path& path);

// This process's temporary for `target`, beside it: ".partial-PID-NAME", or with a
// `role` (a writer's own kind of temporary, such as "staged") ".partial-PID-ROLE-NAME".
std::filesystem::path temporaryPathOf(const std::filesystem::path& target,
                                      std::string_view role = {});

// Removes the temporaries of `target` that AtomicFileWriter left beside it, whichever
// process wrote them: a writer killed in the middle (SIGKILL, a power cut) leaves its
// own. For files that one process at a time writes, whoever writes the target next
// may remove them. Other files and other roles' temporaries are left alone; a
// temporary that cannot be removed stays, to be overwritten under another name.
void removeAbandonedTemporaries(const std::filesystem::path& target);

class AtomicFileWriter {
 public:
  // Throws OutputError when the target is a folder.
  explicit AtomicFileWriter(std::filesystem::path target);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  const std::filesystem::path& target() const { return target_; }
  // Where to write: the temporary file, or the target itself for a device or pipe.
  const std::filesystem::path& temporaryPath() const { return temporary_; }
  // Flushes the finished temporary file to the disk and moves it onto the target;
  // throws OutputError.
  void commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  bool inPlace_ = false;
  bool committed_ = false;
};

// Writes `text` as the whole of `file`, through a temporary that replaces it only when
// complete; throws OutputError on any failure.
void writeTextFile(const std::filesystem::path& file, const std::string& text);

// A stdio stream whose every failure (short write, full disk on flush or close)
// throws OutputError naming `shownName`.
//
// A large file is handed to the disk as it grows: after every kWriteBehindBytes the
// stream is flushed and the kernel asked to start writing those bytes out (without
// waiting for them), so that the flush before the file's rename (AtomicFileWriter)
// finds little left to write, and a long run of writes does not pile up dirty memory.
// Where the request does not apply (a pipe, a device, a tmpfs) it is a no-op.
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
  static constexpr std::size_t kWriteBehindBytes = std::size_t{8} << 20;

  [[noreturn]] void fail(const char* what);
  std::FILE* file_;
  std::string shownName_;
  std::uint64_t written_ = 0;       // bytes handed to the stream
  std::uint64_t handedToDisk_ = 0;  // of which the kernel was asked to write out
};

}  // namespace tolvane::formats
