// How the engine's passes split their work between threads.
#pragma once

#include <cstdint>
#include <functional>

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// Runs body(begin, end) over [0, count) in pieces, possibly on several threads
// at once; the pieces never overlap and together cover the range.
using ParallelFor =
    std::function<void(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>&)>;

// Runs the whole range at once on the calling thread.
void runSerially(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& body);

}  // namespace tolvane::engine

#pragma GCC visibility pop
