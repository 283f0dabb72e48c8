// `hvhost info` and `hvhost convert`; see vtc_commands.h.
#include "host/vtc_commands.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"
#include "formats/vtc/vtc_file.h"
#include "host/dialogues/console.h"
#include "host/exit_status.h"
#include "host/session/vtc_document.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;
namespace {

struct ValueStatistics {
  std::uint64_t finite = 0;
  std::uint64_t nonFinite = 0;
  double minimum = std::numeric_limits<double>::infinity();
  double maximum = -std::numeric_limits<double>::infinity();
  double sum = 0;
  double sumOfSquares = 0;

  void add(const float* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const double value = values[i];
      if (!std::isfinite(value)) {
        ++nonFinite;
        continue;
      }
      ++finite;
      minimum = std::min(minimum, value);
      maximum = std::max(maximum, value);
      sum += value;
      sumOfSquares += value * value;
    }
  }
};

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

namespace {

void printStatistics(const ValueStatistics& statistics, std::ostream& out) {
  const auto n = static_cast<double>(statistics.finite);
  if (statistics.finite > 0) {
    const double mean = statistics.sum / n;
    const double variance = std::max(0.0, statistics.sumOfSquares / n - mean * mean);
    out << "values:        " << statistics.finite << ", min " << format("%.6g", statistics.minimum)
        << ", max " << format("%.6g", statistics.maximum) << ", mean " << format("%.6g", mean)
        << ", sd " << format("%.6g", std::sqrt(variance)) << '\n';
  }
  if (statistics.nonFinite > 0) {
    out << "non-finite:    " << statistics.nonFinite << " values (NaN or infinite)\n";
  }
}

void printNativeInfo(const std::filesystem::path& file, std::ostream& out) {
  const VtcFileHeader header = readVtcFileHeader(file);
  ValueStatistics statistics;
  readVtcFileData(file, header,
                  [&](const float* values, std::size_t count) { statistics.add(values, count); });
  const VtcGeometry& grid = header.grid;
  out << "file:          " << printable(file.string()) << '\n'
      << "format:        native VTC, version " << kVtcFormatVersion << '\n'
      << "grid:          " << grid.dimX() << " x " << grid.dimY() << " x " << grid.dimZ()
      << " voxels, " << grid.timePoints << " time points\n"
      << "bounding box:  X " << grid.xStart << "-" << grid.xEnd << ", Y " << grid.yStart << "-"
      << grid.yEnd << ", Z " << grid.zStart << "-" << grid.zEnd << ", resolution "
      << grid.resolution << '\n'
      << "TR:            " << format("%g", grid.trMilliseconds) << " ms\n"
      << "protocol:      "
      << (header.protocolFile.empty() ? "(none)" : printable(header.protocolFile)) << '\n'
      << "world space:   NIfTI code " << header.frame.code << '\n';
  printStatistics(statistics, out);
}

void printNiftiInfo(const std::filesystem::path& file, std::ostream& out) {
  ValueStatistics statistics;
  const NiftiImageInfo info = readNiftiImage(
      file, [&](const float* values, std::size_t count) { statistics.add(values, count); });
  const bool compressed = file.extension() == ".gz";
  out << "file:          " << printable(file.string()) << '\n'
      << "format:        " << (info.niftiTwo ? "NIfTI-2" : "NIfTI-1")
      << (compressed ? ", gzip-compressed" : "") << ", " << info.datatype << " voxels\n"
      << "grid:          " << info.dims[0] << " x " << info.dims[1] << " x " << info.dims[2]
      << " voxels, " << info.dims[3] << " time points\n"
      << "voxel size:    " << format("%g", info.voxelSize[0]) << " x "
      << format("%g", info.voxelSize[1]) << " x " << format("%g", info.voxelSize[2]) << " "
      << info.xyzUnits << '\n'
      << "time step:     " << format("%g", info.timeStep) << " " << info.timeUnits << '\n'
      << "world space:   NIfTI code " << info.worldCode << '\n';
  printStatistics(statistics, out);
}

}  // namespace

void printVtcInfo(const std::filesystem::path& file, std::ostream& out) {
  if (looksLikeNifti(file)) {
    printNiftiInfo(file, out);
  } else {
    printNativeInfo(file, out);
  }
  out << std::flush;
}

void convertVtcToNifti(const std::filesystem::path& in, const std::filesystem::path& out,
                       int gzipLevel, Console& console) {
  if (!hasNiftiExtension(out)) {
    throw UsageError(out.string() + ": expected a NIfTI name ending in .nii or .nii.gz");
  }
  if (looksLikeNifti(in)) {
    throw InputError(in.string() +
                     ": expected a native VTC, found a NIfTI file, which needs no "
                     "conversion (hvhost info reads it)");
  }
  const VtcFileHeader header = readVtcFileHeader(in);
  // The export reorders time-fastest values into volumes, so it holds the whole VTC;
  // the header was checked against the file's size, and that size against memory.
  const std::uint64_t bytes = VtcDocument::bytesNeeded(header.grid);
  const std::uint64_t memory = physicalMemoryBytes();
  if (bytes > memory) {
    throw StorageError(in.string() + ": the VTC needs " + describeSize(bytes, SizeUnit::Gibibytes) +
                       ", more than the " + describeSize(memory, SizeUnit::Gibibytes) +
                       " of memory available; it cannot be converted here");
  }
  std::vector<float> data;
  data.reserve(header.grid.valueCount());
  readVtcFileData(in, header, [&](const float* values, std::size_t count) {
    data.insert(data.end(), values, values + count);
  });
  writeVtcNifti(out, header.grid, header.frame, data.data(), gzipLevel);
  console.note("wrote " + out.string());
}

}  // namespace hvhost
