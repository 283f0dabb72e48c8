// Runs a loop body compiled for AVX-512 where the processor has it, for AVX2 where it
// has that, and for the baseline instruction set elsewhere, choosing once at start-up.
//
// The body is a lambda marked TOLVANE_VECTOR_BODY (always inlined), so that it is compiled
// inside each of the three instances below, with that instance's instruction set. All
// do the same IEEE operations in the same order (nothing here allows contraction into
// fused multiply-add), so the choice changes the speed, never a value.
#pragma once

#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

#define TOLVANE_VECTOR_BODY __attribute__((always_inline))

namespace tolvane::engine {

namespace detail {
template <typename Body>
TOLVANE_TARGET_AVX512 void runAvx512(const Body& body) {
  body();
}
template <typename Body>
TOLVANE_TARGET_AVX2 void runAvx2(const Body& body) {
  body();
}
template <typename Body>
void runPortable(const Body& body) {
  body();
}
inline const bool kAvx512 = cpu::avx512Available();
inline const bool kAvx2 = cpu::avx2Available();
}  // namespace detail

// Whether the AVX-512 instances run here.
inline bool widestVectorsAreAvx512() { return detail::kAvx512; }

// body() on the widest vectors this processor has.
template <typename Body>
void onWidestVectors(const Body& body) {
  if (detail::kAvx512) {
    detail::runAvx512(body);
  } else if (detail::kAvx2) {
    detail::runAvx2(body);
  } else {
    detail::runPortable(body);
  }
}

// body() on the instance of `path` (which the processor must have): for callers that
// let tests choose the path.
template <typename Body>
void onVectorPath(cpu::VectorPath path, const Body& body) {
  switch (path) {
    case cpu::VectorPath::kAvx512:
      detail::runAvx512(body);
      return;
    case cpu::VectorPath::kAvx2:
      detail::runAvx2(body);
      return;
    case cpu::VectorPath::kPortable:
      detail::runPortable(body);
      return;
  }
}

}  // namespace tolvane::engine

#pragma GCC visibility pop
