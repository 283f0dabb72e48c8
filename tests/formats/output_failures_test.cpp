// Failures while writing: a full disk, a file size limit, a device, a folder or an
// unwritable place where a file should go. Whatever fails, an existing file of that
// name stays as it was, no partial or temporary file is left, and the message names
// the file and the reason.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_io.h"
#include "formats/staged_file_set.h"
#include "formats/vtc/vtc_file.h"
#include "tests/support/temporary_folder.h"

using namespace tolvane::formats;

namespace {

VtcGeometry tinyGrid(int timePoints) {
  VtcGeometry grid;
  grid.xEnd = grid.yEnd = grid.zEnd = 4;
  grid.resolution = 2;
  grid.timePoints = timePoints;
  return grid;
}

std::string writeFailure(const std::filesystem::path& file, const VtcGeometry& grid) {
  const std::vector<float> data(grid.valueCount(), 1.0f);
  try {
    writeVtcFile(file, grid, {}, "", data.data());
  } catch (const OutputError& error) {
    return error.what();
  }
  return "";
}

std::string contentOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool isCharacterDevice(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISCHR(status.st_mode);
}

// Lowers the file size limit for the life of the object, with SIGXFSZ ignored as
// hvhost ignores it, so that writes past the limit fail as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*handler_)(int);
};

}  // namespace

TEST(OutputFailures, FailedWriteLeavesTheExistingFileAsItWasAndNoTemporaryFile) {
  TemporaryFolder folder;
  const auto target = folder.write("run.vtc", "the earlier result");
  std::string message;
  {
    const FileSizeLimit limit(16 * 1024);
    message = writeFailure(target, tinyGrid(20000));
  }
  EXPECT_NE(message.find("run.vtc: cannot be written: File too large"), std::string::npos)
      << message;
  EXPECT_EQ(contentOf(target), "the earlier result");
  EXPECT_EQ(folder.entryCount(), 1u);
}

TEST(OutputFailures, DevicesAreWrittenInPlaceSoAFullOneIsReportedAndStaysADevice) {
  EXPECT_EQ(AtomicFileWriter("/dev/null").temporaryPath(), "/dev/null");
  EXPECT_EQ(writeFailure("/dev/null", tinyGrid(3)), "");
  EXPECT_NE(writeFailure("/dev/full", tinyGrid(3))
                .find("/dev/full: cannot be written: No space left on device"),
            std::string::npos);
  EXPECT_TRUE(isCharacterDevice("/dev/full"));
}

TEST(OutputFailures, LargeFilesHandedToTheDiskAsTheyGrowStayWholeAndAFullDiskIsReported) {
  // Pieces of uneven sizes, so that the stream is flushed and handed on part-way through
  // its buffer, across several hand-overs.
  std::string expected;
  for (int piece = 0; expected.size() < (std::size_t{27} << 20); ++piece) {
    expected += std::string((std::size_t{3} << 20) + 4099 * piece, static_cast<char>('a' + piece));
  }
  TemporaryFolder folder;
  const auto file = folder.file("large.bin");
  const auto writeInPieces = [&](const std::filesystem::path& path) {
    CheckedOutputFile out(path, path.string());
    for (std::size_t at = 0; at < expected.size(); at += (std::size_t{3} << 20) + 7) {
      out.write(expected.data() + at, std::min((std::size_t{3} << 20) + 7, expected.size() - at));
    }
    out.close();
  };
  writeInPieces(file);
  EXPECT_TRUE(contentOf(file) == expected);
  try {
    writeInPieces("/dev/full");
    ADD_FAILURE() << "a full device took the file";
  } catch (const OutputError& error) {
    EXPECT_NE(
        std::string(error.what()).find("/dev/full: cannot be written: No space left on device"),
        std::string::npos)
        << error.what();
  }
}

TEST(OutputFailures, FoldersAndPlacesUnderARegularFileCannotBeWrittenAndSayWhy) {
  TemporaryFolder folder;
  std::filesystem::create_directory(folder.file("taken.vtc"));
  EXPECT_NE(writeFailure(folder.file("taken.vtc"), tinyGrid(3))
                .find("taken.vtc: cannot be written: it is a folder"),
            std::string::npos);
  const auto plain = folder.write("plain.txt", "a file, not a folder");
  EXPECT_NE(writeFailure(plain / "run.vtc", tinyGrid(3))
                .find("run.vtc: cannot be created: Not a directory"),
            std::string::npos);
  EXPECT_THROW(checkFolderIsWritable(plain), OutputError);
  checkFolderIsWritable(folder.path());
  EXPECT_EQ(folder.entryCount(), 2u);  // the probe is gone again
}

TEST(OutputFailures, LongestNamesStillGetATemporaryFileThatKeepsTheirExtensions) {
  TemporaryFolder folder;
  const std::string name = std::string(248, 'n') + ".nii.gz";
  const AtomicFileWriter writer(folder.file(name));
  const std::string temporary = writer.temporaryPath().filename().string();
  EXPECT_LE(temporary.size(), 255u);
  EXPECT_EQ(temporary.substr(temporary.size() - 7), ".nii.gz");
  const std::vector<float> data(tinyGrid(3).valueCount(), 1.0f);
  writeVtcNifti(folder.file(name), tinyGrid(3), {}, data.data(), kDefaultGzipLevel);
  EXPECT_TRUE(std::filesystem::is_regular_file(folder.file(name)));
}

TEST(OutputFailures, CompressedExportsThatFailOnAnyThreadLeaveNothingAndNameTheFile) {
  TemporaryFolder folder;
  VtcGeometry grid;
  grid.xEnd = grid.yEnd = grid.zEnd = 64;
  grid.resolution = 1;
  grid.timePoints = 7;  // 7.3 MB of values, two pieces
  // Values that do not compress, so that the file outgrows the limit below.
  std::vector<float> data(grid.valueCount());
  std::uint32_t state = 1;
  for (float& value : data) {
    state = state * 1664525u + 1013904223u;
    value = static_cast<float>(state >> 8);
  }
  const auto target = folder.write("run.nii.gz", "the earlier result");
  const auto failure = [&](const std::filesystem::path& file) -> std::string {
    try {
      writeVtcNifti(file, grid, {}, data.data(), kDefaultGzipLevel, {.threads = 2});
    } catch (const OutputError& error) {
      return error.what();
    }
    return "";
  };
  {
    const FileSizeLimit limit(64 * 1024);
    EXPECT_NE(failure(target).find("run.nii.gz: cannot be written: File too large"),
              std::string::npos);
  }
  EXPECT_TRUE(contentOf(target) == "the earlier result");
  EXPECT_EQ(folder.entryCount(), 1u);
  EXPECT_NE(failure("/dev/full").find("/dev/full: cannot be written: No space left on device"),
            std::string::npos);
}

// A set of files whose last one fails (the disk fills) leaves the folder's earlier set
// whole, whatever of the new set was written first; a complete set replaces it.
TEST(OutputFailures, AStagedSetThatFailsPartWayLeavesTheEarlierSetAndNoStagingFolder) {
  TemporaryFolder folder;
  folder.write("effect.txt", "earlier effect");
  folder.write("t.txt", "earlier t");
  const auto writeSet = [&](std::size_t tBytes) {
    StagedFileSet set(folder.path());
    for (const auto& [name, text] : {std::pair<std::string, std::string>{"effect.txt", "new"},
                                     {"t.txt", std::string(tBytes, 't')}}) {
      AtomicFileWriter writer(set.stagedPath(name));
      CheckedOutputFile out(writer.temporaryPath(), name);
      out.write(text);
      out.close();
      writer.commit();
    }
    return set.commit();
  };
  {
    const FileSizeLimit limit(16 * 1024);
    EXPECT_THROW(writeSet(64 * 1024), OutputError);
  }
  EXPECT_EQ(contentOf(folder.file("effect.txt")), "earlier effect");
  EXPECT_EQ(contentOf(folder.file("t.txt")), "earlier t");
  EXPECT_EQ(folder.entryCount(), 2u);

  const auto placed = writeSet(3);
  EXPECT_EQ(placed, (std::vector<std::filesystem::path>{folder.file("effect.txt"),
                                                        folder.file("t.txt")}));
  EXPECT_EQ(contentOf(folder.file("effect.txt")), "new");
  EXPECT_EQ(contentOf(folder.file("t.txt")), "ttt");
  EXPECT_EQ(folder.entryCount(), 2u);
}

TEST(OutputFailures, AbandonedTemporariesOfATargetAreRemovedEvenWhenTheirNamesWereShortened) {
  TemporaryFolder folder;
  const std::string longName = std::string(248, 'n') + ".nii.gz";
  const std::string otherProcess = ".partial-4242-";
  const std::vector<std::string> abandoned = {
      otherProcess + "run.nii.gz",
      temporaryPathOf(folder.file("run.nii.gz")).filename().string(),
      // 255 characters at most: the front of the long name gave way to the prefix.
      otherProcess + longName.substr(longName.size() - (255 - otherProcess.size())),
      AtomicFileWriter(folder.file(longName)).temporaryPath().filename().string()};
  const std::vector<std::string> kept = {
      "run.nii.gz", longName, otherProcess + "staged-run.nii.gz", otherProcess + "run.json",
      ".partial-42x-run.nii.gz", ".partial--run.nii.gz", ".hidden-4242-run.nii.gz"};
  for (const std::string& name : abandoned) folder.write(name, "partial");
  for (const std::string& name : kept) folder.write(name, "kept");

  removeAbandonedTemporaries(folder.file("run.nii.gz"));
  removeAbandonedTemporaries(folder.file(longName));
  for (const std::string& name : abandoned) EXPECT_FALSE(std::filesystem::exists(folder.file(name)));
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(folder.file(name)));
}
