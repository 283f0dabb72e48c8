// The VTC of the current VMR: its grid, time axis and float storage.
//
// Storage holds grid.valueCount() floats, one contiguous time course per voxel:
// voxel (x, y, z) at time t is element ((z * dimY + y) * dimX + x) * nT + t. It starts
// at zero and lives as long as the document; its size is computed in 64 bits. It is
// anonymous memory of its own, populated when the document is created: every page is
// faulted in and zeroed before the plug-in runs, which costs the kernel one pass (0.8 s
// for the 2.75 GiB of the finest default grid on a quiet machine) where first stores
// spread over the noise pass would cost several times that. It uses the system's
// ordinary pages: advice for transparent huge pages made that first touch two to five
// times slower here (the kernel compacts memory to find them), and the noise pass on
// touched storage was no faster with them. The size is checked against the memory
// limit before anything is mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/geometry.h"
#include "host/exit_status.h"
#include "host/shared_names.h"
#include "plugin/host_interface.h"

namespace hvhost {

class VtcDocument {
 public:
  // Allocates zeroed storage. Throws StorageError when the VTC needs more than
  // memoryLimitBytes or the allocation fails.
  VtcDocument(const VtcGrid& grid, std::uint64_t memoryLimitBytes);

  const VtcGrid& grid() const { return grid_; }
  float* data() { return storage_.data; }
  const float* data() const { return storage_.data; }
  const std::string& protocolFile() const { return protocolFile_; }
  void setProtocolFile(std::string path) { protocolFile_ = std::move(path); }

  // The header record as the plug-in sees it: every byte written, the listed fields
  // from the grid and the linked protocol.
  void fillHeader(VTCHeader& header) const;

  static std::uint64_t bytesNeeded(const VtcGrid& grid) {
    return grid.valueCount() * sizeof(float);
  }

 private:
  // The mapping behind the floats; data is null when it could not be made.
  struct Storage {
    explicit Storage(std::uint64_t bytes);
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    std::size_t mappedBytes = 0;
    float* data = nullptr;
  };
  VtcGrid grid_;
  Storage storage_;
  std::string protocolFile_;
};

// Physical memory of this machine, the ceiling for a VTC's storage.
std::uint64_t physicalMemoryBytes();

}  // namespace hvhost
