// Zeroed anonymous memory whose pages are all faulted in when it is made.
//
// A VTC's storage is written once by the plug-in's noise pass, in strided sweeps. Left
// to first touches, every page would cost a fault inside the pass; populated up front,
// the kernel zeroes and maps the pages in one sweep over the page tables before the
// plug-in runs (about 1 s for the 2.75 GiB of the finest default grid on one core,
// against several times that spread over the pass).
//
// Page size: transparent huge pages (2 MiB) make the population several times faster
// and the pass's strided stores about a tenth faster (fewer TLB misses); but where the
// kernel has to compact memory, or a virtual machine's memory has to be backed anew,
// a huge page can take twenty times as long as its 512 ordinary ones, and on the
// finest grid populating with huge pages throughout took 4 to 8 s against 1 s. So
// the memory is populated in slices of 16 MiB, each timed: the first gets ordinary
// pages, and the fastest ordinary slice so far is the reference; the others get huge
// pages unless the last huge-page slice was slower per byte than the reference, in
// which case the next few get ordinary pages before huge ones are tried again (twice
// as many after each further slow trial). Where the kernel offers no huge pages,
// every slice gets ordinary pages. Large memory is split into shares of whole slices,
// one for each usable core, populated side by side, each share with its own reference.
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
