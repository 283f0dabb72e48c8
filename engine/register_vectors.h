// GCC vectors as wide as an instance's registers (vector_dispatch.h), and the turn of a
// square of them. Their operations act lane by lane with each lane's IEEE operation, so
// code written in them gives the same values at every width. Vectors are passed by
// reference only, so that no calling convention depends on the instruction set.
#pragma once

#include <cstddef>
#include <utility>

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// Vectors of W floats and of W doubles. (Declared through a class: on an alias template
// GCC ignores the attribute for dependent sizes.)
template <int W>
struct FloatVectorOf {
  typedef float type __attribute__((vector_size(W * sizeof(float))));
};
template <int W>
using FloatVector = typename FloatVectorOf<W>::type;
template <int W>
struct DoubleVectorOf {
  typedef double type __attribute__((vector_size(W * sizeof(double))));
};
template <int W>
using DoubleVector = typename DoubleVectorOf<W>::type;

namespace detail {
// Step `d` (1, 2, 4, ...) of turning W vectors, on the pair of vectors a (bit d of its
// index clear) and b = the vector d further: it exchanges bit d of the vector's and the
// lane's index.
template <int W, int d, std::size_t... lane>
[[gnu::always_inline]] inline void exchange(FloatVector<W>& a, FloatVector<W>& b,
                                            std::index_sequence<lane...>) {
  const FloatVector<W> low = __builtin_shufflevector(a, b, ((lane & d) ? W + lane - d : lane)...);
  b = __builtin_shufflevector(a, b, ((lane & d) ? W + lane : lane + d)...);
  a = low;
}
}  // namespace detail

// W vectors turned in place: lane k of vector i becomes lane i of vector k.
template <int W, int d = 1>
[[gnu::always_inline]] inline void turn(FloatVector<W> (&v)[W]) {
  if constexpr (d < W) {
#pragma GCC unroll 16
    for (int i = 0; i < W; ++i)
      if ((i & d) == 0) detail::exchange<W, d>(v[i], v[i + d], std::make_index_sequence<W>());
    turn<W, 2 * d>(v);
  }
}

}  // namespace tolvane::engine

#pragma GCC visibility pop
