// Which vector instructions this processor offers, and the paths that use them:
// namespace cpu is asked by every routine that has a wide variant (the batched
// deviates, the study engine's noise field, smoothing, autoregression and drift).
//
// The portable path needs only SSE2, which every x86-64 processor has. The AVX2 and
// AVX-512 paths, built with function-level target attributes so that nothing else in
// the module depends on them, are taken when the processor and the operating system
// support them, the widest first. All give the same floats, because their
// instructions are the same IEEE operations rounded the same way (none of them fuses
// a multiplication with an addition); the tests run every path the machine offers.
// Module-internal: nothing here is exported.
#pragma once

#include <vector>

// The intrinsics' header, for the files with AVX-512 functions. GCC 12 reports its
// deliberately undefined starting values as used uninitialized, a known false
// alarm located in the header itself.
#if defined(__clang__)
#include <immintrin.h>
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#pragma GCC visibility push(hidden)

// Mark functions that may use AVX2, or AVX-512 (foundation and 128/256-bit forms).
// Call such a function only when avx2Available() or avx512Available() says so.
#define TOLVANE_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#define TOLVANE_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512vl,popcnt")))

namespace tolvane::cpu {

enum class VectorPath { kPortable, kAvx2, kAvx512 };

// Whether this processor and operating system run the AVX2 or the AVX-512 path.
bool avx2Available();
bool avx512Available();

// "portable", "AVX2" or "AVX-512", for reports.
const char* nameOf(VectorPath path);

// The fastest path here; decided once.
VectorPath preferredVectorPath();

// Every path this machine can run, the portable one first.
std::vector<VectorPath> availableVectorPaths();

}  // namespace tolvane::cpu

#pragma GCC visibility pop
