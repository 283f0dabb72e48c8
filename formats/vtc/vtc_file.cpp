// Reading and writing the native VTC format; see vtc_file.h for the layout.
#include "formats/vtc/vtc_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "formats/atomic_file.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

// Data values go to disk as they lie in memory, which is little-endian here.
static_assert(std::endian::native == std::endian::little,
              "the native VTC format stores little-endian floats");

constexpr char kMagic[4] = {'H', 'V', 'T', 'C'};
constexpr std::size_t kFixedHeaderSize = 168;
constexpr std::size_t kChunkValues = std::size_t{1} << 20;

class HeaderWriter {
 public:
  template <typename T>
  void put(T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    text_.append(bytes, sizeof(T));
  }
  void putBytes(const char* data, std::size_t size) { text_.append(data, size); }
  const std::string& bytes() const { return text_; }

 private:
  std::string text_;
};

class HeaderReader {
 public:
  explicit HeaderReader(const char* bytes) : bytes_(bytes) {}
  template <typename T>
  T get() {
    T value;
    std::memcpy(&value, bytes_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }

 private:
  const char* bytes_;
  std::size_t offset_ = 0;
};

[[noreturn]] void damaged(const std::filesystem::path& file, const std::string& what) {
  throw InputError(file.string() + ": not a valid VTC file: " + what);
}

void checkGrid(const std::filesystem::path& file, const VtcGeometry& grid, const std::int32_t dims[3]) {
  if (grid.resolution < 1) {
    damaged(file, "expected a resolution of 1 or more, found " + std::to_string(grid.resolution));
  }
  if (grid.timePoints < 1) {
    damaged(file, "expected 1 or more time points, found " + std::to_string(grid.timePoints));
  }
  if (!(grid.trMilliseconds > 0) || !std::isfinite(grid.trMilliseconds)) {
    damaged(file, "expected a positive, finite TR, found " + std::to_string(grid.trMilliseconds));
  }
  const std::int64_t starts[3] = {grid.xStart, grid.yStart, grid.zStart};
  const std::int64_t ends[3] = {grid.xEnd, grid.yEnd, grid.zEnd};
  for (int axis = 0; axis < 3; ++axis) {
    const std::int64_t extent = ends[axis] - starts[axis];
    if (dims[axis] < 1 || extent > INT32_MAX || extent / grid.resolution != dims[axis]) {
      damaged(file,
              "expected grid dimensions that follow from the bounding box and "
              "resolution, found others");
    }
  }
}

}  // namespace

void writeVtcFile(const std::filesystem::path& file, const VtcGeometry& grid, const SpatialFrame& frame,
                  const std::string& protocolFile, const float* data) {
  HeaderWriter header;
  header.putBytes(kMagic, sizeof kMagic);
  header.put<std::uint32_t>(kVtcFormatVersion);
  header.put<std::uint32_t>(static_cast<std::uint32_t>(kFixedHeaderSize + protocolFile.size()));
  for (const std::int32_t value :
       {grid.dimX(), grid.dimY(), grid.dimZ(), grid.timePoints, grid.xStart, grid.xEnd, grid.yStart,
        grid.yEnd, grid.zStart, grid.zEnd, grid.resolution}) {
    header.put<std::int32_t>(value);
  }
  header.put<double>(grid.trMilliseconds);
  for (const auto& row : frame.voxelToWorld.m) {
    for (const double value : row) header.put<double>(value);
  }
  header.put<std::int32_t>(frame.code);
  header.put<std::uint32_t>(static_cast<std::uint32_t>(protocolFile.size()));
  header.putBytes(protocolFile.data(), protocolFile.size());

  AtomicFileWriter writer(file);
  CheckedOutputFile out(writer.temporaryPath(), file.string());
  out.write(header.bytes());
  out.write(data, grid.valueCount() * sizeof(float));
  out.close();
  writer.commit();
}

VtcFileHeader readVtcFileHeader(std::istream& in, std::uint64_t fileSize,
                                const std::filesystem::path& file) {
  char fixed[kFixedHeaderSize];
  if (fileSize < kFixedHeaderSize || !in.read(fixed, sizeof fixed)) {
    damaged(file, "expected a header of " + std::to_string(kFixedHeaderSize) +
                      " bytes, found a file of " + std::to_string(fileSize));
  }
  if (std::memcmp(fixed, kMagic, sizeof kMagic) != 0) {
    damaged(file, "expected the magic \"HVTC\" at its start, found " +
                      inQuotes(std::string_view(fixed, sizeof kMagic)) +
                      " (is it a VTC that hvhost wrote?)");
  }

  HeaderReader reader(fixed + sizeof kMagic);
  const auto version = reader.get<std::uint32_t>();
  if (version != kVtcFormatVersion) {
    damaged(file, "expected format version " + std::to_string(kVtcFormatVersion) + ", found " +
                      std::to_string(version));
  }
  const auto headerSize = reader.get<std::uint32_t>();
  VtcFileHeader header;
  std::int32_t dims[3];
  for (std::int32_t& dim : dims) dim = reader.get<std::int32_t>();
  VtcGeometry& grid = header.grid;
  grid.timePoints = reader.get<std::int32_t>();
  for (std::int32_t* field : {&grid.xStart, &grid.xEnd, &grid.yStart, &grid.yEnd, &grid.zStart,
                              &grid.zEnd, &grid.resolution}) {
    *field = reader.get<std::int32_t>();
  }
  grid.trMilliseconds = reader.get<double>();
  for (auto& row : header.frame.voxelToWorld.m) {
    for (double& value : row) {
      value = reader.get<double>();
      if (!std::isfinite(value))
        damaged(file, "expected a finite transform, found a NaN or infinity");
    }
  }
  header.frame.code = reader.get<std::int32_t>();
  const auto pathLength = reader.get<std::uint32_t>();
  checkGrid(file, grid, dims);

  if (pathLength > kMaxStoredPathLength || headerSize != kFixedHeaderSize + pathLength) {
    damaged(file, "expected a header size of " + std::to_string(kFixedHeaderSize) +
                      " plus the protocol path's length (at most " +
                      std::to_string(kMaxStoredPathLength) + "), found header size " +
                      std::to_string(headerSize) + " and path length " +
                      std::to_string(pathLength));
  }
  if (fileSize < headerSize) {
    damaged(file, "expected a header of " + std::to_string(headerSize) +
                      " bytes, found a file of " + std::to_string(fileSize));
  }
  header.protocolFile.resize(pathLength);
  if (!in.read(header.protocolFile.data(), pathLength)) damaged(file, "the header ends early");
  header.dataOffset = headerSize;

  // Each factor is below 2^31, so the product is checked one factor at a time against
  // what the file can hold before it is formed.
  std::uint64_t values = 1;
  const std::uint64_t available = (fileSize - headerSize) / sizeof(float);
  for (const std::int32_t factor : {grid.dimX(), grid.dimY(), grid.dimZ(), grid.timePoints}) {
    const auto wide = static_cast<std::uint64_t>(factor);
    values = wide > available / values ? available + 1 : values * wide;
  }
  if (values > available || headerSize + values * sizeof(float) != fileSize) {
    damaged(file, "expected " + std::to_string(grid.dimX()) + " x " + std::to_string(grid.dimY()) +
                      " x " + std::to_string(grid.dimZ()) + " voxels of " +
                      std::to_string(grid.timePoints) +
                      " time points after the header, found a file of " + std::to_string(fileSize) +
                      " bytes (truncated, or extended?)");
  }
  return header;
}

VtcFileHeader readVtcFileHeader(const std::filesystem::path& file) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (!std::filesystem::exists(status)) {
    throw InputError(file.string() + ": cannot be opened for reading: " +
                     (error ? error.message() : "no such file"));
  }
  if (!std::filesystem::is_regular_file(status)) {
    throw InputError(file.string() + ": expected a VTC file, found " +
                     (std::filesystem::is_directory(status) ? "a folder" : "a device or pipe"));
  }
  const std::uint64_t fileSize = std::filesystem::file_size(file, error);
  std::ifstream in(file, std::ios::binary);
  if (error || !in) throw InputError(file.string() + ": cannot be opened for reading");
  return readVtcFileHeader(in, fileSize, file);
}

void readVtcFileData(std::istream& in, const VtcFileHeader& header,
                     const std::filesystem::path& file,
                     const std::function<void(const float*, std::size_t)>& consume) {
  in.clear();
  if (!in.seekg(static_cast<std::streamoff>(header.dataOffset))) {
    throw InputError(file.string() + ": cannot be read");
  }
  std::vector<float> chunk(std::min<std::uint64_t>(kChunkValues, header.grid.valueCount()));
  std::uint64_t remaining = header.grid.valueCount();
  while (remaining > 0) {
    const std::size_t count = remaining < kChunkValues ? remaining : kChunkValues;
    if (!in.read(reinterpret_cast<char*>(chunk.data()),
                 static_cast<std::streamsize>(count * sizeof(float)))) {
      damaged(file, "the data ends early");
    }
    consume(chunk.data(), count);
    remaining -= count;
  }
}

void readVtcFileData(const std::filesystem::path& file, const VtcFileHeader& header,
                     const std::function<void(const float*, std::size_t)>& consume) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InputError(file.string() + ": cannot be opened for reading");
  readVtcFileData(in, header, file, consume);
}

}  // namespace tolvane::formats
