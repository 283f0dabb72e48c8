// Which vector instructions the batched deviates use.
//
// The portable path needs only SSE2, which every x86-64 processor has. The AVX-512
// path, built with function-level target attributes so that nothing else in the
// module depends on it, is taken when the processor and the operating system support
// it. Both give the same floats, because their instructions are the same IEEE
// operations rounded the same way; the tests run every path the machine offers.
// Module-internal: nothing here is exported.
#pragma once

#include <vector>

// The intrinsics' header, for the files with AVX-512 functions. GCC 12 reports its
// deliberately undefined starting values as used uninitialized, a known false
// alarm located in the header itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#pragma GCC visibility push(hidden)

// Marks a function that may use AVX-512 (foundation and 128/256-bit forms). Call such
// a function only when avx512Available() says so.
#define TOLVANE_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,popcnt")))

namespace tolvane::random {

enum class VectorPath { kPortable, kAvx512 };

// Whether this processor and operating system run the AVX-512 path.
bool avx512Available();

// The fastest path here; decided once.
VectorPath preferredVectorPath();

// Every path this machine can run, the portable one first.
std::vector<VectorPath> availableVectorPaths();

}  // namespace tolvane::random

#pragma GCC visibility pop
