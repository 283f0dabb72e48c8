// Gzip members compressed in parallel: whatever the thread count, the same bytes, one
// member per piece without time stamp or name, and zlib's reader gets the stream back;
// a failure on any thread ends the call with that failure instead of a hang.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/parallel_gzip.h"
#include "tests/support/temporary_folder.h"

using namespace tolvane::formats;

namespace {

// Every 4-byte word holds its own index, so a piece filled from the wrong offset or
// written in the wrong place shows.
void fillWithWordIndices(std::size_t offset, std::span<unsigned char> piece) {
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const auto word = static_cast<std::uint32_t>((offset + i) / 4);
    piece[i] = static_cast<unsigned char>(word >> (8 * ((offset + i) % 4)));
  }
}

std::vector<std::string> compressToMembers(std::size_t streamBytes, unsigned threads) {
  std::vector<std::string> members;
  const auto keep = [&](std::span<const unsigned char> member) {
    members.emplace_back(member.begin(), member.end());
  };
  compressAsGzipMembers(streamBytes, fillWithWordIndices, keep, 1, threads);
  return members;
}

}  // namespace

TEST(ParallelGzip, SameMembersForAnyThreadCountAndZlibReadsTheWholeStreamBack) {
  const std::size_t streamBytes = 2 * kGzipPieceBytes + kGzipPieceBytes / 2 + 6;
  const std::vector<std::string> members = compressToMembers(streamBytes, 1);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(compressToMembers(streamBytes, 2), members);
  EXPECT_EQ(compressToMembers(streamBytes, 8), members);
  for (const std::string& member : members) {
    // Magic, deflate, no flags (so no file name), time stamp 0.
    EXPECT_EQ(member.substr(0, 8), std::string("\x1f\x8b\x08\0\0\0\0\0", 8));
  }

  TemporaryFolder folder;
  std::string file;
  for (const std::string& member : members) file += member;
  const auto path = folder.write("stream.gz", file);
  std::vector<unsigned char> expected(streamBytes);
  fillWithWordIndices(0, expected);
  std::vector<unsigned char> back(streamBytes + 1);
  gzFile in = gzopen(path.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  const int read = gzread(in, back.data(), static_cast<unsigned>(back.size()));
  gzclose(in);
  ASSERT_EQ(read, static_cast<int>(streamBytes));
  back.resize(streamBytes);
  EXPECT_TRUE(back == expected);

  // A stream of nothing is still a gzip file.
  ASSERT_EQ(compressToMembers(0, 2).size(), 1u);
}

TEST(ParallelGzip, AFailureWhileFillingOrWritingOnAnyThreadIsRethrownToTheCaller) {
  const std::size_t streamBytes = 6 * kGzipPieceBytes;
  int written = 0;
  const auto failSecondWrite = [&](std::span<const unsigned char>) {
    if (++written == 2) throw std::runtime_error("disk full");
  };
  EXPECT_THROW(
      try {
        compressAsGzipMembers(streamBytes, fillWithWordIndices, failSecondWrite, 1, 3);
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "disk full");
        throw;
      },
      std::runtime_error);
  EXPECT_EQ(written, 2);  // nothing more was written after the failure

  const auto failFourthPiece = [](std::size_t offset, std::span<unsigned char> piece) {
    if (offset == 3 * kGzipPieceBytes) throw std::length_error("source gone");
    fillWithWordIndices(offset, piece);
  };
  EXPECT_THROW(compressAsGzipMembers(streamBytes, failFourthPiece,
                                     [](std::span<const unsigned char>) {}, 1, 2),
               std::length_error);
}
