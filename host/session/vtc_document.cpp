// The VTC document; see vtc_document.h.
#include "host/session/vtc_document.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "formats/text_parsing.h"

namespace hvhost {

std::uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

namespace {

std::string needsText(const VtcGrid& grid) {
  return "the VTC of " + std::to_string(grid.dimX()) + " x " + std::to_string(grid.dimY()) + " x " +
         std::to_string(grid.dimZ()) + " voxels and " + std::to_string(grid.timePoints) +
         " time points needs " + describeSize(VtcDocument::bytesNeeded(grid), SizeUnit::Gibibytes);
}

std::uint64_t checkedBytes(const VtcGrid& grid, std::uint64_t memoryLimitBytes) {
  const std::uint64_t bytes = VtcDocument::bytesNeeded(grid);
  if (bytes > memoryLimitBytes) {
    throw StorageError(needsText(grid) + ", more than the " +
                       describeSize(memoryLimitBytes, SizeUnit::Gibibytes) +
                       " of memory available");
  }
  return bytes;
}

}  // namespace

VtcDocument::Storage::Storage(std::uint64_t bytes) {
  mappedBytes = bytes == 0 ? 1 : static_cast<std::size_t>(bytes);
  // MAP_POPULATE has the kernel fault in and zero every page now, in one sweep over
  // the page tables, instead of one fault per page at the noise pass's first stores.
  // It is best effort: pages it cannot have are faulted in later as usual.
  void* const mapped = ::mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (mapped == MAP_FAILED) return;
  data = static_cast<float*>(mapped);
}

VtcDocument::Storage::~Storage() {
  if (data != nullptr) ::munmap(data, mappedBytes);
}

VtcDocument::VtcDocument(const VtcGrid& grid, std::uint64_t memoryLimitBytes)
    : grid_(grid), storage_(checkedBytes(grid, memoryLimitBytes)) {
  if (storage_.data == nullptr)
    throw StorageError(needsText(grid) + ", which could not be allocated");
}

void VtcDocument::fillHeader(VTCHeader& header) const {
  std::memset(&header, 0, sizeof header);
  header.NumberOfTimePoints = grid_.timePoints;
  header.XStart = grid_.xStart;
  header.XEnd = grid_.xEnd;
  header.YStart = grid_.yStart;
  header.YEnd = grid_.yEnd;
  header.ZStart = grid_.zStart;
  header.ZEnd = grid_.zEnd;
  header.Resolution = grid_.resolution;
  std::strncpy(header.ProtocolFile, protocolFile_.c_str(), kMaxPathLength);
}

}  // namespace hvhost
