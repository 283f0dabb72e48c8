// Populated anonymous memory; see populated_memory.h.
#include "host/session/populated_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "formats/threads.h"

namespace hvhost {
namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Ordinary pages populate a slice in 5 to 10 ms here, long enough to time against the
// clock's noise and short enough that the threads share the work evenly.
constexpr std::size_t kSliceBytes = std::size_t{16} << 20;

// Slow huge pages come in stretches (tens of slices on our machines, where the kernel
// had to compact or the hypervisor had to back the memory anew), and so do fast
// ones: after a slow trial, this many slices get ordinary pages before the next trial,
// twice as many after each further slow one.
constexpr int kOrdinarySlicesAfterSlowHuge = 8;

// Below this many slices for each usable core, fewer threads populate the memory.
constexpr std::size_t kSlicesPerThreadAtLeast = 4;

enum class Outcome { populated, unsupported, outOfMemory };

// Faults in and zeroes every page of [start, start + bytes).
Outcome populateRange(char* start, std::size_t bytes) {
  if (::madvise(start, bytes, MADV_POPULATE_WRITE) == 0) return Outcome::populated;
  // EINVAL: a kernel older than 5.14, without the request. Anything else means the
  // pages could not be had.
  return errno == EINVAL ? Outcome::unsupported : Outcome::outOfMemory;
}

// The fallback where the kernel cannot populate on request: a store to each page. The
// memory is zero already, so zeroes change nothing but have the pages faulted in.
void touchEveryPage(char* start, std::size_t bytes) {
  const auto pageBytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  volatile char* const pages = start;
  for (std::size_t offset = 0; offset < bytes; offset += pageBytes) pages[offset] = 0;
}

double secondsOf(const auto& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The slices of [start, start + bytes), handed out one at a time to the threads that
// populate them, so that a thread slowed by other work takes fewer.
class SliceQueue {
 public:
  SliceQueue(char* start, std::size_t bytes) : start_(start), bytes_(bytes) {}
  // The next slice not yet taken, or an empty one when all are.
  std::pair<char*, std::size_t> take() {
    const std::size_t offset = next_.fetch_add(kSliceBytes);
    if (offset >= bytes_) return {nullptr, 0};
    return {start_ + offset, std::min(kSliceBytes, bytes_ - offset)};
  }

 private:
  char* const start_;
  const std::size_t bytes_;
  std::atomic<std::size_t> next_{0};
};

// Populates slices from `queue` until none is left, each slice's pages chosen as
// populated_memory.h describes, with this thread's own reference.
Outcome populateSlices(SliceQueue& queue) {
  double ordinarySecondsPerByte = std::numeric_limits<double>::infinity();  // the fastest
  int ordinaryBeforeTrial = 1;  // the first slice sets the reference
  int ordinaryAfterSlowHuge = kOrdinarySlicesAfterSlowHuge;
  for (auto [slice, bytes] = queue.take(); slice != nullptr;
       std::tie(slice, bytes) = queue.take()) {
    // A trial populates the slice's first huge page alone and times it; the rest of
    // the slice keeps the huge-page advice only if that page came fast enough.
    const bool trial = ordinaryBeforeTrial == 0 && ::madvise(slice, bytes, MADV_HUGEPAGE) == 0;
    const std::size_t timedBytes = trial ? std::min(kHugePageBytes, bytes) : bytes;
    Outcome outcome = Outcome::populated;
    char* const start = slice;  // a structured binding cannot be captured by every compiler
    const double seconds = secondsOf([&] { outcome = populateRange(start, timedBytes); });
    const double secondsPerByte = seconds / static_cast<double>(timedBytes);
    if (trial && secondsPerByte > ordinarySecondsPerByte) {
      ::madvise(slice + timedBytes, bytes - timedBytes, MADV_NOHUGEPAGE);
      ordinaryBeforeTrial = ordinaryAfterSlowHuge;
      ordinaryAfterSlowHuge *= 2;
    } else if (trial) {
      ordinaryAfterSlowHuge = kOrdinarySlicesAfterSlowHuge;
    } else if (outcome == Outcome::populated) {
      ordinarySecondsPerByte = std::min(ordinarySecondsPerByte, secondsPerByte);
      ordinaryBeforeTrial = std::max(0, ordinaryBeforeTrial - 1);
    }
    if (outcome == Outcome::populated && timedBytes < bytes) {
      outcome = populateRange(slice + timedBytes, bytes - timedBytes);
    }
    if (outcome == Outcome::unsupported) touchEveryPage(slice, bytes);
    if (outcome == Outcome::outOfMemory) return outcome;
  }
  return Outcome::populated;
}

}  // namespace

PopulatedMemory::PopulatedMemory(std::size_t bytes) {
  bytes = std::max<std::size_t>(bytes, 1);
  // Room to start the data on a huge-page boundary, where a huge page can back it.
  mappedBytes_ = bytes + kHugePageBytes;
  mapping_ =
      ::mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) {
    mapping_ = nullptr;
    return;
  }
  const std::uintptr_t aligned =
      (reinterpret_cast<std::uintptr_t>(mapping_) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  data_ = reinterpret_cast<void*>(aligned);
  populate(bytes);
}

PopulatedMemory::~PopulatedMemory() {
  if (mapping_ != nullptr) ::munmap(mapping_, mappedBytes_);
}

void PopulatedMemory::populate(std::size_t bytes) {
  char* const start = static_cast<char*>(data_);
  // Ordinary pages unless a slice is advised otherwise, also where the system gives
  // huge pages to all memory: the reference slices must be of ordinary pages.
  ::madvise(start, bytes, MADV_NOHUGEPAGE);
  // The kernel's work of zeroing and mapping pages runs on every usable core, as long
  // as each has a few slices to do.
  const std::size_t slices = (bytes + kSliceBytes - 1) / kSliceBytes;
  const std::size_t threads =
      std::clamp<std::size_t>(slices / kSlicesPerThreadAtLeast, 1, tolvane::formats::usableCores());
  SliceQueue queue(start, bytes);
  std::vector<Outcome> outcomes(threads, Outcome::populated);
  // A helper that cannot be started leaves its share to the others.
  tolvane::formats::onAvailableThreads(static_cast<unsigned>(threads),
                              [&](unsigned helper) { outcomes[helper] = populateSlices(queue); });
  if (std::find(outcomes.begin(), outcomes.end(), Outcome::outOfMemory) != outcomes.end()) {
    ::munmap(mapping_, mappedBytes_);
    mapping_ = nullptr;
    data_ = nullptr;
  }
}

}  // namespace hvhost
