// Reading and writing the native VTC format; see vtc_file.h for the layout.
#include "host/vtc_file.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "host/atomic_file.h"
#include "host/text_parsing.h"

namespace hvhost {
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

void checkGrid(const std::filesystem::path& file, const VtcGrid& grid, const std::int32_t dims[3]) {
  if (grid.resolution < 1) damaged(file, "resolution " + std::to_string(grid.resolution));
  if (grid.timePoints < 1) damaged(file, "number of time points " + std::to_string(grid.timePoints));
  if (!(grid.trMilliseconds > 0) || !std::isfinite(grid.trMilliseconds)) damaged(file, "TR");
  const std::int64_t starts[3] = {grid.xStart, grid.yStart, grid.zStart};
  const std::int64_t ends[3] = {grid.xEnd, grid.yEnd, grid.zEnd};
  for (int axis = 0; axis < 3; ++axis) {
    const std::int64_t extent = ends[axis] - starts[axis];
    if (dims[axis] < 1 || extent > INT32_MAX || extent / grid.resolution != dims[axis]) {
      damaged(file, "grid dimensions do not match the bounding box and resolution");
    }
  }
}

}  // namespace

void writeVtcFile(const std::filesystem::path& file, const VtcGrid& grid, const SpatialFrame& frame,
                  const std::string& protocolFile, const float* data) {
  HeaderWriter header;
  header.putBytes(kMagic, sizeof kMagic);
  header.put<std::uint32_t>(kVtcFormatVersion);
  header.put<std::uint32_t>(static_cast<std::uint32_t>(kFixedHeaderSize + protocolFile.size()));
  for (const std::int32_t value : {grid.dimX(), grid.dimY(), grid.dimZ(), grid.timePoints,
                                   grid.xStart, grid.xEnd, grid.yStart, grid.yEnd, grid.zStart,
                                   grid.zEnd, grid.resolution}) {
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

VtcFileHeader readVtcFileHeader(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InputError(file.string() + ": cannot be opened for reading");
  std::error_code sizeError;
  const std::uint64_t fileSize = std::filesystem::file_size(file, sizeError);
  if (sizeError) throw InputError(file.string() + ": cannot be opened for reading");

  char fixed[kFixedHeaderSize];
  if (!in.read(fixed, sizeof fixed)) damaged(file, "shorter than the header");
  if (std::memcmp(fixed, kMagic, sizeof kMagic) != 0) damaged(file, "wrong magic");

  HeaderReader reader(fixed + sizeof kMagic);
  const auto version = reader.get<std::uint32_t>();
  if (version != kVtcFormatVersion) damaged(file, "unsupported version " + std::to_string(version));
  const auto headerSize = reader.get<std::uint32_t>();
  VtcFileHeader header;
  std::int32_t dims[3];
  for (std::int32_t& dim : dims) dim = reader.get<std::int32_t>();
  VtcGrid& grid = header.grid;
  grid.timePoints = reader.get<std::int32_t>();
  for (std::int32_t* field : {&grid.xStart, &grid.xEnd, &grid.yStart, &grid.yEnd, &grid.zStart,
                              &grid.zEnd, &grid.resolution}) {
    *field = reader.get<std::int32_t>();
  }
  grid.trMilliseconds = reader.get<double>();
  for (auto& row : header.frame.voxelToWorld.m) {
    for (double& value : row) {
      value = reader.get<double>();
      if (!std::isfinite(value)) damaged(file, "transform holds a non-finite value");
    }
  }
  header.frame.code = reader.get<std::int32_t>();
  const auto pathLength = reader.get<std::uint32_t>();
  checkGrid(file, grid, dims);

  if (pathLength > kMaxStoredPathLength || headerSize != kFixedHeaderSize + pathLength) {
    damaged(file, "inconsistent header size");
  }
  header.protocolFile.resize(pathLength);
  if (!in.read(header.protocolFile.data(), pathLength)) damaged(file, "truncated header");
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
    damaged(file, "file size " + std::to_string(fileSize) + " bytes does not match the header (" +
                      std::to_string(grid.dimX()) + " x " + std::to_string(grid.dimY()) + " x " +
                      std::to_string(grid.dimZ()) + " voxels, " + std::to_string(grid.timePoints) +
                      " time points)");
  }
  return header;
}

void readVtcFileData(const std::filesystem::path& file, const VtcFileHeader& header,
                     const std::function<void(const float*, std::size_t)>& consume) {
  std::ifstream in(file, std::ios::binary);
  if (!in.seekg(static_cast<std::streamoff>(header.dataOffset))) {
    throw InputError(file.string() + ": cannot be read");
  }
  std::vector<float> chunk(kChunkValues);
  std::uint64_t remaining = header.grid.valueCount();
  while (remaining > 0) {
    const std::size_t count = remaining < kChunkValues ? remaining : kChunkValues;
    if (!in.read(reinterpret_cast<char*>(chunk.data()),
                 static_cast<std::streamsize>(count * sizeof(float)))) {
      damaged(file, "data ends early");
    }
    consume(chunk.data(), count);
    remaining -= count;
  }
}

}  // namespace hvhost
