// Zeroed anonymous memory whose pages are all faulted in when it is made.
//
// A VTC's storage is written once by the plug-in's noise pass, in strided sweeps. Left
// to first touches, every page would cost a fault inside the pass; populated up front,
// the kernel zeroes and maps the pages in one sweep over the page tables before the
// plug-in runs (1 to 1.5 s for the 2.75 GiB of the finest default grid, against
// several times that spread over the pass).
//
// Page size: transparent huge pages (2 MiB) make the population two to four times
// faster and the pass's strided stores about a tenth faster (fewer TLB misses); but
// where the kernel has to compact memory, or a virtual machine's memory has to be
// backed anew, a huge page can take twenty times as long as its 512 ordinary ones, and
// such pages come in long stretches: on the finest grid, huge pages throughout took
// 4 to 8 s against 1 s. So the memory is populated in slices of 16 MiB, each thread
// timing its own: its first slice gets ordinary pages, and its fastest ordinary slice
// so far is the reference. Each later slice is a trial: advised for huge pages, its
// first huge page is populated alone and timed, and the rest of the slice keeps the
// advice only if that page came at least as fast per byte as the reference. But after
// a slow trial, 8 slices get ordinary pages before the next one, then 16, and so on, so
// that a long slow stretch costs a few slow pages. Where the kernel offers no huge
// pages, every slice gets ordinary pages. The slices are handed out to one thread for
// each usable core (while each has a few), the kernel's zeroing being the work.
//
// Values and layout do not depend on the page size: only the time does.
#pragma once

#include <cstddef>

namespace hvhost {

class PopulatedMemory {
 public:
  // Maps and populates `bytes` (at least one page). data() is null when the memory
  // could not be had: the mapping failed, or the kernel could not provide its pages.
  explicit PopulatedMemory(std::size_t bytes);
  ~PopulatedMemory();
  PopulatedMemory(const PopulatedMemory&) = delete;
  PopulatedMemory& operator=(const PopulatedMemory&) = delete;

  // Aligned to the huge-page size.
  void* data() const { return data_; }

 private:
  void populate(std::size_t bytes);
  void* mapping_ = nullptr;
  std::size_t mappedBytes_ = 0;
  void* data_ = nullptr;
};

}  // namespace hvhost
