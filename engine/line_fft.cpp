// Transforms of many lines at once; conventions in line_fft.h.
//
// A lane block's sixteen real (or imaginary) parts are taken W at a time as GCC vectors
// of W floats, W being the width of the instance's registers (16 for AVX-512, 8 for
// AVX2, 4 on the portable path), so that the vectors stay in registers. Their operations
// act lane by lane, so every width gives the same IEEE results. Vectors are passed by
// reference only, so no function's calling convention depends on the instruction set.
#include "engine/line_fft.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "engine/register_vectors.h"
#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

template <int W>
using Lanes = FloatVector<W>;

template <int W>
struct Complex {
  Lanes<W> re, im;
};

// Lanes part * W .. part * W + W - 1 of a lane block.
template <int W>
[[gnu::always_inline]] inline void load(Complex<W>& a, const float* block, int part) {
  std::memcpy(&a.re, block + part * W, sizeof(Lanes<W>));
  std::memcpy(&a.im, block + kLineLanes + part * W, sizeof(Lanes<W>));
}

template <int W>
[[gnu::always_inline]] inline void store(float* block, int part, const Complex<W>& a) {
  std::memcpy(block + part * W, &a.re, sizeof(Lanes<W>));
  std::memcpy(block + kLineLanes + part * W, &a.im, sizeof(Lanes<W>));
}

// a <- a (c + i s).
template <int W>
[[gnu::always_inline]] inline void rotate(Complex<W>& a, float c, float s) {
  const Lanes<W> re = a.re * c - a.im * s;
  a.im = a.re * s + a.im * c;
  a.re = re;
}

// y = m + i n and z = m - i n.
template <int W>
[[gnu::always_inline]] inline void plusMinusI(const Complex<W>& m, const Complex<W>& n,
                                              Complex<W>& y, Complex<W>& z) {
  y.re = m.re - n.im;
  y.im = m.im + n.re;
  z.re = m.re + n.im;
  z.im = m.im - n.re;
}

constexpr double kPi = 3.14159265358979323846;

// The butterflies' constants: cos and sin of 2 pi q / R in double, rounded to float.
const float kHalfRoot2 = static_cast<float>(std::sqrt(0.5));
const float kSin3 = static_cast<float>(std::sin(2.0 * kPi / 3.0));
const float kCos5 = static_cast<float>(std::cos(2.0 * kPi / 5.0));
const float kCos5Twice = static_cast<float>(std::cos(4.0 * kPi / 5.0));
const float kSin5 = static_cast<float>(std::sin(2.0 * kPi / 5.0));
const float kSin5Twice = static_cast<float>(std::sin(4.0 * kPi / 5.0));

template <int W>
[[gnu::always_inline]] inline void butterfly(const Complex<W> (&a)[2], Complex<W> (&y)[2]) {
  y[0].re = a[0].re + a[1].re;
  y[0].im = a[0].im + a[1].im;
  y[1].re = a[0].re - a[1].re;
  y[1].im = a[0].im - a[1].im;
}

template <int W>
[[gnu::always_inline]] inline void butterfly(const Complex<W> (&a)[4], Complex<W> (&y)[4]) {
  const Complex<W> t0{a[0].re + a[2].re, a[0].im + a[2].im};
  const Complex<W> t1{a[0].re - a[2].re, a[0].im - a[2].im};
  const Complex<W> t2{a[1].re + a[3].re, a[1].im + a[3].im};
  const Complex<W> t3{a[1].re - a[3].re, a[1].im - a[3].im};
  y[0].re = t0.re + t2.re;
  y[0].im = t0.im + t2.im;
  y[2].re = t0.re - t2.re;
  y[2].im = t0.im - t2.im;
  plusMinusI(t1, t3, y[1], y[3]);
}

template <int W>
[[gnu::always_inline]] inline void butterfly(const Complex<W> (&a)[8], Complex<W> (&y)[8]) {
  const Complex<W> even[4] = {a[0], a[2], a[4], a[6]}, odd[4] = {a[1], a[3], a[5], a[7]};
  Complex<W> e[4], o[4];
  butterfly(even, e);
  butterfly(odd, o);
  const float h = kHalfRoot2;
  // w8^k o_k for k = 1, 2, 3.
  const Complex<W> w1{h * (o[1].re - o[1].im), h * (o[1].re + o[1].im)};
  const Complex<W> w2{-o[2].im, o[2].re};
  const Complex<W> w3{h * -(o[3].re + o[3].im), h * (o[3].re - o[3].im)};
  const Complex<W> turned[4] = {o[0], w1, w2, w3};
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    y[k].re = e[k].re + turned[k].re;
    y[k].im = e[k].im + turned[k].im;
    y[k + 4].re = e[k].re - turned[k].re;
    y[k + 4].im = e[k].im - turned[k].im;
  }
}

template <int W>
[[gnu::always_inline]] inline void butterfly(const Complex<W> (&a)[3], Complex<W> (&y)[3]) {
  const float s3 = kSin3;
  const Complex<W> t1{a[1].re + a[2].re, a[1].im + a[2].im};
  const Complex<W> t2{a[1].re - a[2].re, a[1].im - a[2].im};
  y[0].re = a[0].re + t1.re;
  y[0].im = a[0].im + t1.im;
  const Complex<W> m{a[0].re - 0.5f * t1.re, a[0].im - 0.5f * t1.im};
  const Complex<W> n{s3 * t2.re, s3 * t2.im};
  plusMinusI(m, n, y[1], y[2]);
}

template <int W>
[[gnu::always_inline]] inline void butterfly(const Complex<W> (&a)[5], Complex<W> (&y)[5]) {
  const float c1 = kCos5, c2 = kCos5Twice, s1 = kSin5, s2 = kSin5Twice;
  const Complex<W> t1{a[1].re + a[4].re, a[1].im + a[4].im};
  const Complex<W> t2{a[2].re + a[3].re, a[2].im + a[3].im};
  const Complex<W> t3{a[1].re - a[4].re, a[1].im - a[4].im};
  const Complex<W> t4{a[2].re - a[3].re, a[2].im - a[3].im};
  y[0].re = (a[0].re + t1.re) + t2.re;
  y[0].im = (a[0].im + t1.im) + t2.im;
  const Complex<W> m1{(a[0].re + c1 * t1.re) + c2 * t2.re, (a[0].im + c1 * t1.im) + c2 * t2.im};
  const Complex<W> m2{(a[0].re + c2 * t1.re) + c1 * t2.re, (a[0].im + c2 * t1.im) + c1 * t2.im};
  const Complex<W> n1{s1 * t3.re + s2 * t4.re, s1 * t3.im + s2 * t4.im};
  const Complex<W> n2{s2 * t3.re - s1 * t4.re, s2 * t3.im - s1 * t4.im};
  plusMinusI(m1, n1, y[1], y[4]);
  plusMinusI(m2, n2, y[2], y[3]);
}

// One Stockham pass of radix R over a lane block (line_fft.h), W lanes at a time. The
// loops over r are unrolled so that a and y live in registers: kept in memory, they
// would be written in halves and read back whole, which the processor cannot forward.
template <int W, int R>
[[gnu::always_inline]] inline void radixPass(int n, int span, const float* twiddles,
                                             const float* in, std::size_t inStride, float* out,
                                             std::size_t outStride, int keep) {
  const int sections = n / R;
  for (int group = 0; group < sections; group += span)
    for (int k = 0; k < span; ++k) {
      const int j = group + k;
      const float* const w = twiddles + 2 * (R - 1) * k;
      const int first = group * R + k;
      for (int part = 0; part < kLineLanes / W; ++part) {
        Complex<W> a[R];
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r)
          load(a[r], in + static_cast<std::size_t>(j + r * sections) * inStride, part);
        if (k != 0) {
#pragma GCC unroll 8
          for (int r = 1; r < R; ++r) rotate(a[r], w[2 * (r - 1)], w[2 * (r - 1) + 1]);
        }
        Complex<W> y[R];
        butterfly(a, y);
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
          const int e = first + r * span;
          if (e < keep) store(out + static_cast<std::size_t>(e) * outStride, part, y[r]);
        }
      }
    }
}

}  // namespace

LineTransform::LineTransform(int length) : length_(length) {
  if (length < 2) throw std::invalid_argument("a line transform needs a length of at least 2");
  int rest = length, span = 1;
  const auto addPasses = [&](int radix) {
    while (rest % radix == 0) {
      passes_.push_back({radix, span, twiddles_.size()});
      for (int k = 0; k < span; ++k)
        for (int r = 1; r < radix; ++r) {
          const double angle = 2.0 * kPi * static_cast<double>(k * r) / (span * radix);
          twiddles_.push_back(static_cast<float>(std::cos(angle)));
          twiddles_.push_back(static_cast<float>(std::sin(angle)));
        }
      span *= radix;
      rest /= radix;
    }
  };
  for (const int radix : {8, 4, 2, 3, 5}) addPasses(radix);
  if (rest != 1)
    throw std::invalid_argument("a line transform's length may have no prime factor above 5");
}

void LineTransform::run(const float* in, std::size_t inStride, float* out, std::size_t outStride,
                        int keep, float* scratch, cpu::VectorPath path) const {
  onVectorPathInRegisters(path, [&](auto width) TOLVANE_VECTOR_BODY {
    constexpr int W = decltype(width)::value;
    const float* from = in;
    std::size_t fromStride = inStride;
    float* const buffers[2] = {scratch, scratch + static_cast<std::size_t>(length_) * kLaneBlockFloats};
    for (std::size_t p = 0; p < passes_.size(); ++p) {
      const Pass& pass = passes_[p];
      const bool last = p + 1 == passes_.size();
      float* const to = last ? out : buffers[p % 2];
      const std::size_t toStride = last ? outStride : kLaneBlockFloats;
      const int kept = last ? keep : length_;
      const float* const w = twiddles_.data() + pass.firstTwiddle;
      switch (pass.radix) {
        case 8:
          radixPass<W, 8>(length_, pass.span, w, from, fromStride, to, toStride, kept);
          break;
        case 4:
          radixPass<W, 4>(length_, pass.span, w, from, fromStride, to, toStride, kept);
          break;
        case 2:
          radixPass<W, 2>(length_, pass.span, w, from, fromStride, to, toStride, kept);
          break;
        case 3:
          radixPass<W, 3>(length_, pass.span, w, from, fromStride, to, toStride, kept);
          break;
        default:
          radixPass<W, 5>(length_, pass.span, w, from, fromStride, to, toStride, kept);
          break;
      }
      from = to;
      fromStride = toStride;
    }
  });
}

}  // namespace tolvane::engine
