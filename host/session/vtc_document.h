// The VTC of the current VMR: its grid, time axis and float storage.
//
// Storage holds grid.valueCount() floats, one contiguous time course per voxel:
// voxel (x, y, z) at time t is element ((z * dimY + y) * dimX + x) * nT + t. It starts
// at zero and lives as long as the document; its size is computed in 64 bits. It is
// anonymous memory of its own, populated when the document is created
// (populated_memory.h), so that the plug-in's noise pass pays no page faults. The size
// is checked against the memory limit before anything is mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/geometry.h"
#include "host/exit_status.h"
#include "host/session/populated_memory.h"
#include "host/shared_names.h"
#include "plugin/host_interface.h"

namespace hvhost {

class VtcDocument {
 public:
  // Allocates zeroed storage. Throws StorageError when the VTC needs more than
  // memoryLimitBytes or the allocation fails.
  VtcDocument(const formats::VtcGeometry& grid, std::uint64_t memoryLimitBytes);

  const formats::VtcGeometry& grid() const { return grid_; }
  float* data() { return static_cast<float*>(storage_.data()); }
  const float* data() const { return static_cast<const float*>(storage_.data()); }
  const std::string& protocolFile() const { return protocolFile_; }
  void setProtocolFile(std::string path) { protocolFile_ = std::move(path); }

  // The header record as the plug-in sees it: every byte written, the listed fields
  // from the grid and the linked protocol.
  void fillHeader(VTCHeader& header) const;

  static std::uint64_t bytesNeeded(const formats::VtcGeometry& grid) {
    return grid.valueCount() * sizeof(float);
  }

 private:
  formats::VtcGeometry grid_;
  PopulatedMemory storage_;
  std::string protocolFile_;
};

// Physical memory of this machine, the ceiling for a VTC's storage.
std::uint64_t physicalMemoryBytes();

}  // namespace hvhost
