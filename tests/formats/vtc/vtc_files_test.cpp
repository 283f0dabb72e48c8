// The native VTC format and the NIfTI export: round trips through our own reader and
// through libnifti2, refusal of damaged files, and no partial file after a failure.
#include <gtest/gtest.h>
#include <nifti2_io.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include <zlib.h>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"
#include "formats/vtc/vtc_file.h"
#include "tests/support/temporary_folder.h"

using namespace tolvane::formats;

namespace {

// A small grid whose dimensions all differ, so that a transposed axis shows.
VtcGeometry smallGrid() {
  VtcGeometry grid;
  grid.xStart = 10;
  grid.xEnd = 18;  // 4 voxels at resolution 2
  grid.yStart = 20;
  grid.yEnd = 26;  // 3
  grid.zStart = 30;
  grid.zEnd = 34;  // 2
  grid.resolution = 2;
  grid.timePoints = 5;
  grid.trMilliseconds = 1500.0;
  return grid;
}

// Every value tells where it belongs: 1000 x + 100 y + 10 z + t.
std::vector<float> labelledValues(const VtcGeometry& grid) {
  std::vector<float> data(grid.valueCount());
  for (int z = 0; z < grid.dimZ(); ++z)
    for (int y = 0; y < grid.dimY(); ++y)
      for (int x = 0; x < grid.dimX(); ++x)
        for (int t = 0; t < grid.timePoints; ++t)
          data[((static_cast<std::size_t>(z) * grid.dimY() + y) * grid.dimX() + x) *
                   grid.timePoints +
               t] = static_cast<float>(1000 * x + 100 * y + 10 * z + t);
  return data;
}

SpatialFrame scannerFrame() { return {{{{1, 0, 0, -128}, {0, 1, 0, -128}, {0, 0, 1, -128}}}, 1}; }

std::vector<float> readBack(const std::filesystem::path& file, const VtcFileHeader& header) {
  std::vector<float> data;
  readVtcFileData(file, header,
                  [&](const float* v, std::size_t n) { data.insert(data.end(), v, v + n); });
  return data;
}

std::string bytesOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string refusal(const std::filesystem::path& file) {
  try {
    readVtcFileHeader(file);
  } catch (const InputError& error) {
    return error.what();
  }
  return "";
}

}  // namespace

TEST(NativeVtc, RoundTripKeepsHeaderAndEveryValueBitForBit) {
  TemporaryFolder folder;
  const VtcGeometry grid = smallGrid();
  std::vector<float> data = labelledValues(grid);
  data[7] = -0.0f;
  data[8] = 1.0e-40f;  // subnormal
  const auto file = folder.file("run.vtc");
  writeVtcFile(file, grid, scannerFrame(), "protocols/block.prt", data.data());

  const VtcFileHeader header = readVtcFileHeader(file);
  EXPECT_EQ(header.grid.dimX(), 4);
  EXPECT_EQ(header.grid.dimY(), 3);
  EXPECT_EQ(header.grid.dimZ(), 2);
  EXPECT_EQ(header.grid.timePoints, 5);
  EXPECT_EQ(header.grid.xStart, 10);
  EXPECT_EQ(header.grid.zEnd, 34);
  EXPECT_EQ(header.grid.trMilliseconds, 1500.0);
  EXPECT_EQ(header.protocolFile, "protocols/block.prt");
  EXPECT_EQ(header.frame.code, 1);
  EXPECT_EQ(header.frame.voxelToWorld.m[1][3], -128.0);
  const std::vector<float> back = readBack(file, header);
  ASSERT_EQ(back.size(), data.size());
  EXPECT_EQ(std::memcmp(back.data(), data.data(), data.size() * sizeof(float)), 0);
  EXPECT_EQ(std::filesystem::file_size(file), 168 + 19 + data.size() * 4);
}

TEST(NativeVtc, DamagedFilesAreRefusedBeforeAnythingIsAllocated) {
  TemporaryFolder folder;
  const VtcGeometry grid = smallGrid();
  const std::vector<float> data = labelledValues(grid);
  const auto good = folder.file("good.vtc");
  writeVtcFile(good, grid, scannerFrame(), "", data.data());
  const std::string bytes = bytesOf(good);

  const auto variant = [&](const std::string& name, std::string content) {
    return folder.write(name, content);
  };
  std::string badMagic = bytes;
  badMagic[0] = 'X';
  std::string newerVersion = bytes;
  newerVersion[4] = 2;
  std::string hugeGrid = bytes;  // dimX = 2^31 - 1 claims an enormous file
  const std::int32_t huge = 0x7fffffff;
  std::memcpy(hugeGrid.data() + 12, &huge, 4);
  std::memcpy(hugeGrid.data() + 32, &huge, 4);  // XEnd, so the box agrees with it
  std::string longPath = bytes;
  const std::uint32_t pathLength = 1u << 30;
  std::memcpy(longPath.data() + 164, &pathLength, 4);

  EXPECT_NE(refusal(variant("short.vtc", bytes.substr(0, 100)))
                .find("expected a header of 168 bytes, found a file of 100"),
            std::string::npos);
  EXPECT_NE(refusal(variant("truncated.vtc", bytes.substr(0, bytes.size() - 4)))
                .find("time points after the header, found a file of"),
            std::string::npos);
  EXPECT_NE(refusal(variant("longer.vtc", bytes + "x")).find("(truncated, or extended?)"),
            std::string::npos);
  EXPECT_NE(refusal(variant("magic.vtc", badMagic))
                .find("expected the magic \"HVTC\" at its start, found \"XVTC\""),
            std::string::npos);
  EXPECT_NE(
      refusal(variant("version.vtc", newerVersion)).find("expected format version 1, found 2"),
      std::string::npos);
  EXPECT_NE(refusal(variant("huge.vtc", hugeGrid)), "");
  EXPECT_NE(refusal(variant("path.vtc", longPath)).find("expected a header size of 168 plus"),
            std::string::npos);
  EXPECT_NE(refusal(folder.file("absent.vtc")).find("cannot be opened"), std::string::npos);
}

TEST(NativeVtc, FailedWriteLeavesNeitherTargetNorTemporaryFile) {
  TemporaryFolder folder;
  VtcGeometry grid = smallGrid();
  grid.timePoints = 20000;  // about 1.9 MB of values
  const std::vector<float> data(grid.valueCount(), 1.0f);
  // A file size limit makes the disk "full" part-way through the data.
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = previous;
  limited.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string message;
  try {
    writeVtcFile(folder.file("big.vtc"), grid, scannerFrame(), "", data.data());
  } catch (const OutputError& error) {
    message = error.what();
  }
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_NE(message.find("big.vtc: cannot be written"), std::string::npos) << message;
  EXPECT_EQ(folder.entryCount(), 0u);
}

TEST(NativeVtc, WriteIntoAMissingFolderReportsTheFile) {
  TemporaryFolder folder;
  const VtcGeometry grid = smallGrid();
  const std::vector<float> data = labelledValues(grid);
  EXPECT_THROW(
      writeVtcFile(folder.file("no/such/folder/x.vtc"), grid, scannerFrame(), "", data.data()),
      OutputError);
}

TEST(NiftiExport, CompressesAtTheRequestedLevel) {
  // The gzip header's extra-flags byte (offset 8) tells how hard the compressor tried:
  // 4 for the fastest level, 2 for the smallest output, 0 in between.
  TemporaryFolder folder;
  const VtcGeometry grid = smallGrid();
  const std::vector<float> data = labelledValues(grid);
  for (const auto& [level, mark] : {std::pair{1, 4}, std::pair{5, 0}, std::pair{9, 2}}) {
    const auto file = folder.file("level" + std::to_string(level) + ".nii.gz");
    writeVtcNifti(file, grid, scannerFrame(), data.data(), level);
    std::ifstream stream(file, std::ios::binary);
    unsigned char header[10] = {};
    stream.read(reinterpret_cast<char*>(header), sizeof header);
    EXPECT_EQ(header[0], 0x1f) << "level " << level;
    EXPECT_EQ(header[1], 0x8b) << "level " << level;
    EXPECT_EQ(header[8], mark) << "level " << level;
  }
}

TEST(NiftiExport, LibniftiReadsBackShapeVoxelSizeTrUnitsPlacementAndValues) {
  TemporaryFolder folder;
  const VtcGeometry grid = smallGrid();
  const std::vector<float> data = labelledValues(grid);
  for (const char* name : {"export.nii", "export.nii.gz"}) {
    const auto file = folder.file(name);
    writeVtcNifti(file, grid, scannerFrame(), data.data(), kDefaultGzipLevel);
    nifti_image* image = nifti_image_read(file.c_str(), 1);
    ASSERT_NE(image, nullptr) << name;
    EXPECT_EQ(image->nifti_type, NIFTI_FTYPE_NIFTI1_1);
    EXPECT_EQ(image->datatype, NIFTI_TYPE_FLOAT32);
    EXPECT_EQ(image->ndim, 4);
    EXPECT_EQ(image->nx, 4);
    EXPECT_EQ(image->ny, 3);
    EXPECT_EQ(image->nz, 2);
    EXPECT_EQ(image->nt, 5);
    EXPECT_EQ(image->dx, 2.0);
    EXPECT_EQ(image->dt, 1.5);
    EXPECT_EQ(image->xyz_units, NIFTI_UNITS_MM);
    EXPECT_EQ(image->time_units, NIFTI_UNITS_SEC);
    EXPECT_EQ(image->sform_code, 1);
    // Grid voxel (0, 0, 0) is VMR voxel (10, 20, 30), world (-118, -108, -98).
    EXPECT_EQ(image->sto_xyz.m[0][3], -118.0);
    EXPECT_EQ(image->sto_xyz.m[1][3], -108.0);
    EXPECT_EQ(image->sto_xyz.m[2][3], -98.0);
    EXPECT_NEAR(image->qto_xyz.m[2][3], -98.0, 1e-4);  // the qform stores float offsets
    const auto* values = static_cast<const float*>(image->data);
    // NIfTI order: x fastest, then y, z, t. Voxel (3, 2, 1) at t = 4.
    EXPECT_EQ(values[((4 * 2 + 1) * 3 + 2) * 4 + 3], 3000.0f + 200.0f + 10.0f + 4.0f);
    for (std::size_t i = 0; i < data.size(); i += 7) {
      const std::size_t t = i % 5, voxel = i / 5;
      EXPECT_EQ(values[t * 24 + voxel], data[i]);
    }
    nifti_image_free(image);
  }
  EXPECT_EQ(folder.entryCount(), 2u);
}

TEST(NiftiExport, LargeExportsAreTheSameForAnyThreadCountAndGzreadGivesThePlainFile) {
  // About 11 MB of values, so the compressed stream has three pieces whose cuts fall
  // inside volumes; every value is its own index in the VTC's layout.
  TemporaryFolder folder;
  VtcGeometry grid;
  grid.xEnd = 37;
  grid.yEnd = 23;
  grid.zEnd = 11;
  grid.resolution = 1;
  grid.timePoints = 300;
  std::vector<float> data(grid.valueCount());
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i);
  ASSERT_LT(data.size(), std::size_t{1} << 24);  // so that every index is an exact float
  const auto plain = folder.file("run.nii"), one = folder.file("one.nii.gz"),
             two = folder.file("two.nii.gz");
  writeVtcNifti(plain, grid, scannerFrame(), data.data(), kDefaultGzipLevel, {.threads = 1});
  writeVtcNifti(one, grid, scannerFrame(), data.data(), kDefaultGzipLevel, {.threads = 1});
  writeVtcNifti(two, grid, scannerFrame(), data.data(), kDefaultGzipLevel, {.threads = 2});
  EXPECT_EQ(folder.entryCount(), 3u);  // no temporary file left behind
  EXPECT_TRUE(bytesOf(one) == bytesOf(two));

  const std::string plainBytes = bytesOf(plain);
  std::string unzipped(plainBytes.size() + 1, '\0');
  gzFile in = gzopen(two.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  const int read = gzread(in, unzipped.data(), static_cast<unsigned>(unzipped.size()));
  gzclose(in);
  ASSERT_EQ(read, static_cast<int>(plainBytes.size()));
  unzipped.resize(plainBytes.size());
  EXPECT_TRUE(unzipped == plainBytes);

  nifti_image* header = nifti_image_read(plain.c_str(), 0);
  ASSERT_NE(header, nullptr);
  const auto offset = static_cast<std::size_t>(header->iname_offset);
  nifti_image_free(header);
  ASSERT_EQ(plainBytes.size(), offset + data.size() * sizeof(float));
  const std::size_t voxels = grid.voxelCount(), timePoints = 300;
  std::size_t misplaced = 0;
  for (std::size_t t = 0; t < timePoints; ++t) {
    for (std::size_t v = 0; v < voxels; ++v) {
      float value;
      std::memcpy(&value, plainBytes.data() + offset + (t * voxels + v) * sizeof(float), 4);
      misplaced += value != data[v * timePoints + t];
    }
  }
  EXPECT_EQ(misplaced, 0u);
}

TEST(NiftiInput, AnatomicalAndLabelImagesComeBackAsTheyWereWritten) {
  TemporaryFolder folder;
  const std::int64_t dims[8] = {3, 6, 5, 4, 1, 1, 1, 1};
  nifti_image* image = nifti_make_new_nim(dims, NIFTI_TYPE_INT16, 1);
  auto* labels = static_cast<std::int16_t*>(image->data);
  labels[0] = 7;
  labels[6 * 5 * 4 - 1] = 2;
  image->sform_code = 2;
  image->sto_xyz.m[0][0] = image->sto_xyz.m[1][1] = image->sto_xyz.m[2][2] = 0.5;
  image->sto_xyz.m[0][3] = 12.0;
  image->sto_xyz.m[3][3] = 1.0;
  const auto file = folder.file("labels.nii.gz");
  ASSERT_EQ(nifti_set_filenames(image, file.c_str(), 0, 1), 0);
  nifti_image_write(image);
  nifti_image_free(image);

  const AnatomicalHeader anatomy = readAnatomicalHeader(file);
  EXPECT_EQ(anatomy.dims[0], 6);
  EXPECT_EQ(anatomy.dims[2], 4);
  EXPECT_EQ(anatomy.frame.code, 2);
  EXPECT_EQ(anatomy.frame.voxelToWorld.m[0][0], 0.5);
  EXPECT_EQ(anatomy.frame.voxelToWorld.m[0][3], 12.0);
  const LabelVolume volume = readLabelVolume(file);
  ASSERT_EQ(volume.labels.size(), 120u);
  EXPECT_EQ(volume.labels[0], 7);
  EXPECT_EQ(volume.labels[119], 2);
  EXPECT_THROW(readLabelVolume(folder.write("text.nii", "not an image")), InputError);
}
