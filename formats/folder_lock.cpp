// A folder held by one process at a time; see folder_lock.h.
#include "formats/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "formats/errors.h"

namespace tolvane::formats {
namespace {

std::string holderText() {
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
  return std::string("host ") + host + ", process " + std::to_string(::getpid()) + "\n";
}

// Whether `descriptor` is still the file that `path` names (it was not removed and
// made anew while we waited for it).
bool stillNamedBy(int descriptor, const std::filesystem::path& path) {
  struct stat held {
  }, named{};
  if (::fstat(descriptor, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

std::string holderOf(const std::filesystem::path& path) {
  char text[256] = {};
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return "another process";
  const ssize_t length = ::read(descriptor, text, sizeof text - 1);
  ::close(descriptor);
  std::string holder(text, length > 0 ? static_cast<std::size_t>(length) : 0);
  while (!holder.empty() && holder.back() == '\n') holder.pop_back();
  return holder.empty() ? "another process" : holder;
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& folder, std::ostream* waiting)
    : file_(folder / kFolderLockName) {
  bool told = false;
  for (;;) {
    descriptor_ = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor_ < 0) {
      throw OutputError(file_.string() +
                        ": the folder's lock cannot be made: " + std::strerror(errno));
    }
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
      if (waiting != nullptr && !told) {
        *waiting << "tolvane: waiting for " << holderOf(file_) << ", which holds "
                 << folder.string() << "\n";
        told = true;
      }
      while (::flock(descriptor_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
    if (stillNamedBy(descriptor_, file_)) break;
    ::close(descriptor_);
  }
  const std::string holder = holderText();
  // The holder's name is for the messages of those who wait; failing to write it
  // changes nothing else.
  if (::ftruncate(descriptor_, 0) == 0 &&
      ::pwrite(descriptor_, holder.data(), holder.size(), 0) < 0) {
    errno = 0;
  }
}

FolderLock::~FolderLock() {
  ::unlink(file_.c_str());
  ::close(descriptor_);
}

}  // namespace tolvane::formats
