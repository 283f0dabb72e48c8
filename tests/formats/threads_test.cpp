// The one helper that starts and joins threads: the pieces it cuts, and what reaches
// the caller when a body throws or a thread cannot start.
#include "formats/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>

#include "formats/errors.h"
#include "formats/exit_status.h"

namespace tolvane::formats {
namespace {

TEST(Threads, EqualPartsCoverTheRangeOnceInPiecesThatDependOnlyOnTheirCount) {
  for (const auto& [count, parts] :
       {std::pair<std::int64_t, std::int64_t>{10, 3}, {7, 7}, {5, 1}, {1000003, 8}}) {
    std::mutex lock;
    std::set<std::pair<std::int64_t, std::int64_t>> pieces;
    inEqualParts(count, parts, [&](std::int64_t begin, std::int64_t end) {
      const std::lock_guard<std::mutex> guard(lock);
      pieces.emplace(begin, end);
    });
    ASSERT_EQ(pieces.size(), static_cast<std::size_t>(parts));
    std::int64_t next = 0, part = 0;
    for (const auto& [begin, end] : pieces) {
      EXPECT_EQ(begin, next);
      EXPECT_EQ(begin, count * part / parts);
      EXPECT_EQ(end, count * (part + 1) / parts);
      next = end;
      ++part;
    }
    EXPECT_EQ(next, count);
  }
}

TEST(Threads, ABodyThatThrowsReachesTheCallerAfterEveryOtherBodyFinished) {
  std::atomic<int> finished{0};
  EXPECT_THROW(onThreads(4,
                         [&](unsigned index) {
                           if (index == 2) throw OutputError("piece 2 failed");
                           ++finished;
                         }),
               OutputError);
  EXPECT_EQ(finished, 3);
  // Where threads cannot be had, the others do the share: every body still runs once.
  std::atomic<int> ran{0};
  EXPECT_EQ(onAvailableThreads(3, [&](unsigned) { ++ran; }), 3u);
  EXPECT_EQ(ran, 3);
}

TEST(Threads, ThreadsThatCannotStartEndTheWorkWithStatusOneAndJobsAreRangeChecked) {
  const Failure failure = describeFailure(std::make_exception_ptr(
      ThreadStartError("could not start 99 threads (4 started, then: Resource temporarily "
                       "unavailable); ask for fewer with --jobs")));
  EXPECT_EQ(failure.status, kExitFailed);
  EXPECT_EQ(failure.message.rfind("could not start 99 threads", 0), 0u) << failure.message;
  EXPECT_EQ(jobsOption(1), 1u);
  EXPECT_EQ(jobsOption(kMaxJobs), static_cast<unsigned>(kMaxJobs));
  EXPECT_EQ(jobsOption(std::nullopt), usableCores());
  EXPECT_THROW(jobsOption(0), InputError);
  EXPECT_THROW(jobsOption(kMaxJobs + 1), InputError);
}

}  // namespace
}  // namespace tolvane::formats
