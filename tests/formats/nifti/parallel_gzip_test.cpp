// Gzip members compressed in parallel: whatever the thread count, the same bytes, one
// member per piece without time stamp or name; a failure on any thread ends the call
// with that failure instead of a hang. (That zlib reads the members back as the whole
// stream is checked on a NIfTI export, in vtc_files_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "formats/nifti/parallel_gzip.h"

using namespace tolvane::formats;

namespace {

// Every 4-byte word holds its own index, so that no two pieces are alike and a member
// made from the wrong piece, or handed on out of turn, changes the output.
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

TEST(ParallelGzip, SameMembersForAnyThreadCountOnePerPieceWithoutTimeStampOrName) {
  const std::size_t streamBytes = 2 * kGzipPieceBytes + kGzipPieceBytes / 2 + 6;
  const std::vector<std::string> members = compressToMembers(streamBytes, 1);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(compressToMembers(streamBytes, 2), members);
  EXPECT_EQ(compressToMembers(streamBytes, 8), members);
  for (const std::string& member : members) {
    // Magic, deflate, no flags (so no file name), time stamp 0.
    EXPECT_EQ(member.substr(0, 8), std::string("\x1f\x8b\x08\0\0\0\0\0", 8));
  }

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
  EXPECT_THROW(compressAsGzipMembers(
                   streamBytes, failFourthPiece, [](std::span<const unsigned char>) {}, 1, 2),
               std::length_error);
}

TEST(ParallelGzip, ThreadsWaitingAtAHelpDeskCompressPiecesOfAOneThreadCallAndLeaveOnClose) {
  const std::size_t streamBytes = 3 * kGzipPieceBytes;
  GzipHelpDesk desk;
  std::vector<std::thread> helpers;
  for (int i = 0; i < 2; ++i) helpers.emplace_back([&] { desk.helpUntilClosed(); });

  // The first piece is held back until another thread has filled a piece, which only a
  // helper can do while the calling thread waits here.
  std::mutex mutex;
  std::condition_variable filled;
  std::vector<std::thread::id> fillers;
  const auto fill = [&](std::size_t offset, std::span<unsigned char> piece) {
    fillWithWordIndices(offset, piece);
    std::unique_lock lock(mutex);
    fillers.push_back(std::this_thread::get_id());
    filled.notify_all();
    if (offset == 0) {
      filled.wait_for(lock, std::chrono::seconds(30), [&] { return fillers.size() > 1; });
    }
  };
  std::vector<std::string> members;
  const auto keep = [&](std::span<const unsigned char> member) {
    members.emplace_back(member.begin(), member.end());
  };
  compressAsGzipMembers(streamBytes, fill, keep, 1, 1, &desk);
  desk.close();
  for (std::thread& helper : helpers) helper.join();

  EXPECT_EQ(members, compressToMembers(streamBytes, 1));
  ASSERT_EQ(fillers.size(), 3u);
  EXPECT_NE(fillers[0], fillers[1]);
}
