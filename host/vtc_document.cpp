// The VTC document; see vtc_document.h.
#include "host/vtc_document.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace hvhost {

std::string gibibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
  return text;
}

std::uint64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

VtcDocument::VtcDocument(const VtcGrid& grid, std::uint64_t memoryLimitBytes) : grid_(grid) {
  const std::uint64_t bytes = bytesNeeded(grid);
  const std::string what = "the VTC of " + std::to_string(grid.dimX()) + " x " +
                           std::to_string(grid.dimY()) + " x " + std::to_string(grid.dimZ()) +
                           " voxels and " + std::to_string(grid.timePoints) +
                           " time points needs " + gibibytes(bytes);
  if (bytes > memoryLimitBytes) {
    throw StorageError(what + ", more than the " + gibibytes(memoryLimitBytes) +
                       " of memory available");
  }
  data_.reset(static_cast<float*>(std::calloc(grid.valueCount(), sizeof(float))));
  if (!data_) throw StorageError(what + ", which could not be allocated");
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
