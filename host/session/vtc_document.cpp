// The VTC document; see vtc_document.h.
#include "host/session/vtc_document.h"

#include <unistd.h>

#include <cstring>

#include "formats/text_parsing.h"

namespace hvhost {

using namespace tolvane::formats;

std::uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

namespace {

std::string needsText(const VtcGeometry& grid) {
  return "the VTC of " + std::to_string(grid.dimX()) + " x " + std::to_string(grid.dimY()) + " x " +
         std::to_string(grid.dimZ()) + " voxels and " + std::to_string(grid.timePoints) +
         " time points needs " + describeSize(VtcDocument::bytesNeeded(grid), SizeUnit::Gibibytes);
}

std::uint64_t checkedBytes(const VtcGeometry& grid, std::uint64_t memoryLimitBytes) {
  const std::uint64_t bytes = VtcDocument::bytesNeeded(grid);
  if (bytes > memoryLimitBytes) {
    throw StorageError(needsText(grid) + ", more than the " +
                       describeSize(memoryLimitBytes, SizeUnit::Gibibytes) +
                       " of memory available");
  }
  return bytes;
}

}  // namespace

VtcDocument::VtcDocument(const VtcGeometry& grid, std::uint64_t memoryLimitBytes)
    : grid_(grid), storage_(checkedBytes(grid, memoryLimitBytes)) {
  if (storage_.data() == nullptr)
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
