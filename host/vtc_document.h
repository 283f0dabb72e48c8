// The VTC of the current VMR: its grid, time axis and float storage.
//
// Storage holds grid.valueCount() floats, one contiguous time course per voxel:
// voxel (x, y, z) at time t is element ((z * dimY + y) * dimX + x) * nT + t. It starts
// at zero and lives as long as the document; its size is computed in 64 bits.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "host/geometry.h"
#include "plugin/host_interface.h"

namespace hvhost {

// The storage could not be had; the message says how much it needs.
class StorageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class VtcDocument {
 public:
  // Allocates zeroed storage. Throws StorageError when the VTC needs more than
  // memoryLimitBytes or the allocation fails.
  VtcDocument(const VtcGrid& grid, std::uint64_t memoryLimitBytes);

  const VtcGrid& grid() const { return grid_; }
  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }
  const std::string& protocolFile() const { return protocolFile_; }
  void setProtocolFile(std::string path) { protocolFile_ = std::move(path); }

  // The header record as the plug-in sees it: every byte written, the listed fields
  // from the grid and the linked protocol.
  void fillHeader(VTCHeader& header) const;

  static std::uint64_t bytesNeeded(const VtcGrid& grid) { return grid.valueCount() * sizeof(float); }

 private:
  struct FreeDeleter {
    void operator()(float* p) const { std::free(p); }
  };
  VtcGrid grid_;
  std::unique_ptr<float, FreeDeleter> data_;
  std::string protocolFile_;
};

// Physical memory of this machine, the ceiling for a VTC's storage.
std::uint64_t physicalMemoryBytes();

// "2.5 GiB": sizes in messages.
std::string gibibytes(std::uint64_t bytes);

}  // namespace hvhost
