// Threads: how many to use, and starting and joining them, for every parallel loop of
// both programs (a study's jobs and a run's synthesis, int16 quantisation, fit-noise's
// passes, parallel gzip, hvhost's memory).
//
// Starting a thread can fail (the system's limit of threads or of memory for their
// stacks). onThreads() then starts none of the work: the threads it did start are told
// to end without running their share and are joined, and ThreadStartError says how many
// could not be started. So no loop ever runs on fewer threads than it split its work
// for, none leaves a thread unjoined (which would end the process), and a caller waiting
// for all of its threads (a pool whose jobs wait for each other) cannot hang.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace tolvane::formats {

// The most threads an option may ask for (--jobs): beyond any machine's cores, and
// within what a process may start.
constexpr std::int64_t kMaxJobs = 1024;

// The cores this process may run on: fewer than the machine's under taskset or a cpuset,
// where more threads than cores would only take turns. The default of --jobs and of
// the compressed writers.
unsigned usableCores();

// --jobs as given as a thread count: one per usable core when not given; throws
// InputError unless 1 <= given <= kMaxJobs.
unsigned jobsOption(std::optional<std::int64_t> given);

class ThreadStartError : public std::runtime_error {
 public:
  explicit ThreadStartError(const std::string& what) : std::runtime_error(what) {}
};

// Runs body(0) ... body(count - 1) at once, body(0) on the calling thread and each other
// on a thread of its own, and returns when all have returned. Throws ThreadStartError
// ("could not start N threads ...") before any body runs when a thread cannot be
// started. A body should not throw; if one does, the others still finish and the first
// exception is rethrown here.
void onThreads(unsigned count, const std::function<void(unsigned index)>& body);

// For work that any number of threads can share (a queue of pieces that each thread
// takes from until none is left): runs body(i) on the calling thread (i = 0) and on as
// many of count - 1 further threads as can be started, joins them and returns how many
// ran. A thread that cannot be started leaves its share to the others, which changes
// no value.
unsigned onAvailableThreads(unsigned count, const std::function<void(unsigned index)>& body);

// Runs body(begin, end) over [0, count) cut into `parts` equal contiguous pieces (piece
// p: [count p / parts, count (p + 1) / parts)), each on a thread of its own: the same
// pieces, and so the same values, as any other split with that many parts.
void inEqualParts(std::int64_t count, std::int64_t parts,
                  const std::function<void(std::int64_t begin, std::int64_t end)>& body);

}  // namespace tolvane::formats
