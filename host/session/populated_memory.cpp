// Populated anonymous memory; see populated_memory.h.
#include "host/session/populated_memory.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

namespace hvhost {
namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Ordinary pages populate a slice in about 7 ms here, long enough to time against the
// clock's noise; a huge-page slice that turns out slow costs little more than that.
constexpr std::size_t kSliceBytes = std::size_t{16} << 20;

// Slow huge pages come in stretches (tens of slices on our machines, where the kernel
// had to compact or the hypervisor had to back the memory anew), and so do fast
// ones: after a slow huge-page slice, this many slices get ordinary pages before huge
// pages are tried again, twice as many after each further slow one, so that a long
// slow stretch costs a few trials rather than one in every few slices.
constexpr int kOrdinarySlicesAfterSlowHuge = 8;

// Below this many slices for each usable core, fewer threads populate the memory.
constexpr std::size_t kSlicesPerShareAtLeast = 4;

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

// Populates [start, start + bytes) slice by slice, each slice's pages chosen as
// populated_memory.h describes.
Outcome populateSlices(char* start, std::size_t bytes) {
  double ordinarySecondsPerByte = std::numeric_limits<double>::infinity();  // the fastest
  int ordinaryBeforeTrial = 1;  // the first slice sets the reference
  int ordinaryAfterSlowHuge = kOrdinarySlicesAfterSlowHuge;
  for (std::size_t done = 0; done < bytes;) {
    const std::size_t slice = std::min(kSliceBytes, bytes - done);
    const bool huge =
        ordinaryBeforeTrial == 0 && ::madvise(start + done, slice, MADV_HUGEPAGE) == 0;
    Outcome outcome = Outcome::populated;
    const double seconds = secondsOf([&] { outcome = populateRange(start + done, slice); });
    if (outcome == Outcome::unsupported) {
      touchEveryPage(start + done, bytes - done);
      return Outcome::populated;
    }
    if (outcome == Outcome::outOfMemory) return outcome;
    const double secondsPerByte = seconds / static_cast<double>(slice);
    if (huge && secondsPerByte > ordinarySecondsPerByte) {
      ordinaryBeforeTrial = ordinaryAfterSlowHuge;
      ordinaryAfterSlowHuge *= 2;
    } else if (huge) {
      ordinaryAfterSlowHuge = kOrdinarySlicesAfterSlowHuge;
    } else {
      ordinarySecondsPerByte = std::min(ordinarySecondsPerByte, secondsPerByte);
      ordinaryBeforeTrial = std::max(0, ordinaryBeforeTrial - 1);
    }
    done += slice;
  }
  return Outcome::populated;
}

std::size_t usableCores() {
  cpu_set_t cores;
  if (::sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
  return static_cast<std::size_t>(std::max(1, CPU_COUNT(&cores)));
}

}  // namespace

PopulatedMemory::PopulatedMemory(std::size_t bytes) {
  bytes = std::max<std::size_t>(bytes, 1);
  // Room to start the data on a huge-page boundary, where a huge page can back it.
  mappedBytes_ = bytes + kHugePageBytes;
  mapping_ = ::mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                    -1, 0);
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
  // The kernel's work of zeroing and mapping pages runs on every usable core, each
  // with a share of whole slices and its own reference, as long as a share has a few.
  const std::size_t slices = (bytes + kSliceBytes - 1) / kSliceBytes;
  const std::size_t shares =
      std::clamp<std::size_t>(slices / kSlicesPerShareAtLeast, 1, usableCores());
  const std::size_t shareBytes = (slices + shares - 1) / shares * kSliceBytes;
  std::vector<Outcome> outcomes(shares, Outcome::populated);
  std::vector<std::thread> helpers;
  helpers.reserve(shares);
  for (std::size_t share = 1; share * shareBytes < bytes; ++share) {
    const std::size_t offset = share * shareBytes;
    const std::size_t length = std::min(shareBytes, bytes - offset);
    char* const at = start + offset;
    try {
      helpers.emplace_back([&outcomes, share, at, length] {
        outcomes[share] = populateSlices(at, length);
      });
    } catch (const std::system_error&) {  // no thread to be had: this one does it
      outcomes[share] = populateSlices(at, length);
    }
  }
  outcomes[0] = populateSlices(start, std::min(shareBytes, bytes));
  for (std::thread& helper : helpers) helper.join();
  if (std::find(outcomes.begin(), outcomes.end(), Outcome::outOfMemory) != outcomes.end()) {
    ::munmap(mapping_, mappedBytes_);
    mapping_ = nullptr;
    data_ = nullptr;
  }
}

}  // namespace hvhost
