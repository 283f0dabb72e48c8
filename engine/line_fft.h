// Discrete Fourier transforms of many lines at once, vectorised across the lines; the
// mixed-autocorrelation field (mixed_acf.cpp) makes its volumes with them.
//
// Layout. Complex numbers are held in lane blocks: kLineLanes neighbouring lines' real
// parts, then the same lines' imaginary parts (32 floats, 128 bytes). A transform of
// length n over one lane block reads n such blocks, element e at `in + e * inStride`
// floats, and writes element e at `out + e * outStride`; a row of L lines (L a multiple
// of kLineLanes) is L / kLineLanes blocks one after another.
//
// Definition. The backward transform, unnormalised,
//   X_k = sum_j x_j exp(+2 pi i j k / n),   k = 0 .. n - 1,
// for lengths whose prime factors are 2, 3 and 5, by the Stockham autosort algorithm:
// passes of radix 8 while eight divides what is left of n, then 4, then 2, then 3s, then
// 5s. A
// pass of radix R over sub-transforms of span m (the product of the radices before it;
// 1 in the first pass) takes, for j = 0 .. n / R - 1 and k = j mod m, the R elements
// a_r = x_{j + r n / R}, multiplies a_r (r > 0) by w^r, w^r = exp(2 pi i k r / (m R)) with
// its cosine and sine in double rounded to float (no multiplication when k = 0), applies
// the radix-R butterfly below and stores its outputs y_r at (j / m) m R + k + r m. The
// butterflies, with i a = (-Im a, Re a):
//   R = 2:  y0 = a0 + a1,  y1 = a0 - a1;
//   R = 4:  t0 = a0 + a2, t1 = a0 - a2, t2 = a1 + a3, t3 = a1 - a3;
//           y0 = t0 + t2, y2 = t0 - t2, y1 = t1 + i t3, y3 = t1 - i t3;
//   R = 8:  e = the radix-4 butterfly of (a0, a2, a4, a6), o that of (a1, a3, a5, a7);
//           y_k = e_k + u_k, y_{k+4} = e_k - u_k (k = 0 .. 3), with u0 = o0,
//           u1 = (h (Re o1 - Im o1), h (Re o1 + Im o1)), u2 = i o2,
//           u3 = (h (-(Re o3 + Im o3)), h (Re o3 - Im o3)), h = sqrt(1/2);
//   R = 3:  t1 = a1 + a2, t2 = a1 - a2, m = a0 - 0.5 t1, n = s3 t2 (s3 = sin(2 pi / 3));
//           y0 = a0 + t1, y1 = m + i n, y2 = m - i n;
//   R = 5:  t1 = a1 + a4, t2 = a2 + a3, t3 = a1 - a4, t4 = a2 - a3;
//           m1 = (a0 + c1 t1) + c2 t2, m2 = (a0 + c2 t1) + c1 t2,
//           n1 = s1 t3 + s2 t4, n2 = s2 t3 - s1 t4   (c_q, s_q = cos, sin(2 pi q / 5));
//           y0 = (a0 + t1) + t2, y1 = m1 + i n1, y4 = m1 - i n1, y2 = m2 + i n2,
//           y3 = m2 - i n2;
// each complex product (a + ib)(c + id) = (ac - bd) + i(ad + bc), each real-times-complex
// product taken part by part. Every operation is one IEEE single-precision operation on
// one lane, in the order written (the build disables contraction into fused
// multiply-add), so the transform gives the same bits on every vector path and build.
#pragma once

#include <cstddef>
#include <vector>

#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

constexpr int kLineLanes = 16;
constexpr int kLaneBlockFloats = 2 * kLineLanes;

// `count` rounded up to whole lane blocks.
constexpr int wholeLaneBlocks(int count) {
  return (count + kLineLanes - 1) / kLineLanes * kLineLanes;
}

class LineTransform {
 public:
  // length >= 1, with no prime factor other than 2, 3 and 5.
  explicit LineTransform(int length);

  int length() const { return length_; }
  // The floats of work space that run() needs.
  std::size_t scratchFloats() const { return 2 * static_cast<std::size_t>(length_) * kLaneBlockFloats; }

  // The transform of one lane block; only outputs 0 .. keep - 1 are stored. `in` and
  // `out` may be the same block (every input is read before any output is written).
  // Every vector path gives the same bits; the widest is the default.
  void run(const float* in, std::size_t inStride, float* out, std::size_t outStride, int keep,
           float* scratch, cpu::VectorPath path = cpu::preferredVectorPath()) const;

 private:
  struct Pass {
    int radix;
    int span;                   // m
    std::size_t firstTwiddle;   // (cos, sin) of w^r, r = 1 .. R - 1, for each k < m
  };
  int length_;
  std::vector<Pass> passes_;
  std::vector<float> twiddles_;
};

}  // namespace tolvane::engine

#pragma GCC visibility pop
