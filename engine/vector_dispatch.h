// Runs a loop body compiled for AVX-512 where the processor has it, for AVX2 where it
// has that, and for the baseline instruction set elsewhere, choosing once at start-up.
//
// The body is a lambda marked TOLVANE_VECTOR_BODY (always inlined), so that it is compiled
// inside each of the three instances below, with that instance's instruction set. All
// do the same IEEE operations in the same order (nothing here allows contraction into
// fused multiply-add), so the choice changes the speed, never a value.
//
// Bodies written in GCC vectors take the instance's register width (onVectorPathInRegisters)
// and use vectors of that many floats (register_vectors.h): GCC vectors wider than the
// registers are taken apart through memory, element by element where they are broadcast
// or held in arrays.
#pragma once

#include <type_traits>

#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

#define TOLVANE_VECTOR_BODY __attribute__((always_inline))

namespace tolvane::engine {

namespace detail {
template <typename Body>
TOLVANE_TARGET_AVX512 void runAvx512(const Body& body) {
  body(std::integral_constant<int, 16>{});
}
template <typename Body>
TOLVANE_TARGET_AVX2 void runAvx2(const Body& body) {
  body(std::integral_constant<int, 8>{});
}
template <typename Body>
void runPortable(const Body& body) {
  body(std::integral_constant<int, 4>{});
}
inline const cpu::VectorPath kWidest = cpu::preferredVectorPath();
}  // namespace detail

// Whether the AVX-512 instances run here.
inline bool widestVectorsAreAvx512() { return detail::kWidest == cpu::VectorPath::kAvx512; }

// body(width) on the instance of `path` (which the processor must have), `width` being a
// std::integral_constant: the floats one of the instance's registers holds (16, 8 or 4).
template <typename Body>
void onVectorPathInRegisters(cpu::VectorPath path, const Body& body) {
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

// body() on the instance of `path`: for callers that let tests choose the path.
template <typename Body>
void onVectorPath(cpu::VectorPath path, const Body& body) {
  onVectorPathInRegisters(path, [&](auto) TOLVANE_VECTOR_BODY { body(); });
}

// body() on the widest vectors this processor has.
template <typename Body>
void onWidestVectors(const Body& body) {
  onVectorPath(detail::kWidest, body);
}

}  // namespace tolvane::engine

#pragma GCC visibility pop
