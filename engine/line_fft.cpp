// Transforms of many lines at once; conventions in line_fft.h.
//
// A lane block's sixteen real (or imaginary) parts are one GCC vector of sixteen floats,
// whose operations act lane by lane: compiled for AVX-512 each is one instruction, on the
// portable path four SSE instructions, with the same IEEE results. Vectors are passed
// by reference only, so no function's calling convention depends on the instruction set.
#include "engine/line_fft.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

using Lanes = float __attribute__((vector_size(kLineLanes * sizeof(float))));

struct Complex {
  Lanes re, im;
};

[[gnu::always_inline]] inline void load(Complex& a, const float* block) {
  std::memcpy(&a.re, block, sizeof(Lanes));
  std::memcpy(&a.im, block + kLineLanes, sizeof(Lanes));
}

[[gnu::always_inline]] inline void store(float* block, const Complex& a) {
  std::memcpy(block, &a.re, sizeof(Lanes));
  std::memcpy(block + kLineLanes, &a.im, sizeof(Lanes));
}

// a <- a (c + i s).
[[gnu::always_inline]] inline void rotate(Complex& a, float c, float s) {
  const Lanes re = a.re * c - a.im * s;
  a.im = a.re * s + a.im * c;
  a.re = re;
}

// y = m + i n and z = m - i n.
[[gnu::always_inline]] inline void plusMinusI(const Complex& m, const Complex& n, Complex& y,
                                              Complex& z) {
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

template <int R>
[[gnu::always_inline]] inline void butterfly(const Complex (&a)[R], Complex (&y)[R]);

template <>
[[gnu::always_inline]] inline void butterfly<2>(const Complex (&a)[2], Complex (&y)[2]) {
  y[0].re = a[0].re + a[1].re;
  y[0].im = a[0].im + a[1].im;
  y[1].re = a[0].re - a[1].re;
  y[1].im = a[0].im - a[1].im;
}

template <>
[[gnu::always_inline]] inline void butterfly<4>(const Complex (&a)[4], Complex (&y)[4]) {
  const Complex t0{a[0].re + a[2].re, a[0].im + a[2].im};
  const Complex t1{a[0].re - a[2].re, a[0].im - a[2].im};
  const Complex t2{a[1].re + a[3].re, a[1].im + a[3].im};
  const Complex t3{a[1].re - a[3].re, a[1].im - a[3].im};
  y[0].re = t0.re + t2.re;
  y[0].im = t0.im + t2.im;
  y[2].re = t0.re - t2.re;
  y[2].im = t0.im - t2.im;
  plusMinusI(t1, t3, y[1], y[3]);
}

template <>
[[gnu::always_inline]] inline void butterfly<8>(const Complex (&a)[8], Complex (&y)[8]) {
  const Complex even[4] = {a[0], a[2], a[4], a[6]}, odd[4] = {a[1], a[3], a[5], a[7]};
  Complex e[4], o[4];
  butterfly<4>(even, e);
  butterfly<4>(odd, o);
  const float h = kHalfRoot2;
  // w8^k o_k for k = 1, 2, 3.
  const Complex w1{h * (o[1].re - o[1].im), h * (o[1].re + o[1].im)};
  const Complex w2{-o[2].im, o[2].re};
  const Complex w3{h * -(o[3].re + o[3].im), h * (o[3].re - o[3].im)};
  const Complex turned[4] = {o[0], w1, w2, w3};
  for (int k = 0; k < 4; ++k) {
    y[k].re = e[k].re + turned[k].re;
    y[k].im = e[k].im + turned[k].im;
    y[k + 4].re = e[k].re - turned[k].re;
    y[k + 4].im = e[k].im - turned[k].im;
  }
}

template <>
[[gnu::always_inline]] inline void butterfly<3>(const Complex (&a)[3], Complex (&y)[3]) {
  const float s3 = kSin3;
  const Complex t1{a[1].re + a[2].re, a[1].im + a[2].im};
  const Complex t2{a[1].re - a[2].re, a[1].im - a[2].im};
  y[0].re = a[0].re + t1.re;
  y[0].im = a[0].im + t1.im;
  const Complex m{a[0].re - 0.5f * t1.re, a[0].im - 0.5f * t1.im};
  const Complex n{s3 * t2.re, s3 * t2.im};
  plusMinusI(m, n, y[1], y[2]);
}

template <>
[[gnu::always_inline]] inline void butterfly<5>(const Complex (&a)[5], Complex (&y)[5]) {
  const float c1 = kCos5, c2 = kCos5Twice, s1 = kSin5, s2 = kSin5Twice;
  const Complex t1{a[1].re + a[4].re, a[1].im + a[4].im};
  const Complex t2{a[2].re + a[3].re, a[2].im + a[3].im};
  const Complex t3{a[1].re - a[4].re, a[1].im - a[4].im};
  const Complex t4{a[2].re - a[3].re, a[2].im - a[3].im};
  y[0].re = (a[0].re + t1.re) + t2.re;
  y[0].im = (a[0].im + t1.im) + t2.im;
  const Complex m1{(a[0].re + c1 * t1.re) + c2 * t2.re, (a[0].im + c1 * t1.im) + c2 * t2.im};
  const Complex m2{(a[0].re + c2 * t1.re) + c1 * t2.re, (a[0].im + c2 * t1.im) + c1 * t2.im};
  const Complex n1{s1 * t3.re + s2 * t4.re, s1 * t3.im + s2 * t4.im};
  const Complex n2{s2 * t3.re - s1 * t4.re, s2 * t3.im - s1 * t4.im};
  plusMinusI(m1, n1, y[1], y[4]);
  plusMinusI(m2, n2, y[2], y[3]);
}

// One Stockham pass of radix R over a lane block (line_fft.h).
template <int R>
[[gnu::always_inline]] inline void radixPass(int n, int span, const float* twiddles,
                                             const float* in, std::size_t inStride, float* out,
                                             std::size_t outStride, int keep) {
  const int sections = n / R;
  for (int group = 0; group < sections; group += span)
    for (int k = 0; k < span; ++k) {
      const int j = group + k;
      Complex a[R];
      for (int r = 0; r < R; ++r)
        load(a[r], in + static_cast<std::size_t>(j + r * sections) * inStride);
      if (k != 0) {
        const float* w = twiddles + 2 * (R - 1) * k;
        for (int r = 1; r < R; ++r) rotate(a[r], w[2 * (r - 1)], w[2 * (r - 1) + 1]);
      }
      Complex y[R];
      butterfly<R>(a, y);
      const int first = group * R + k;
      for (int r = 0; r < R; ++r) {
        const int e = first + r * span;
        if (e < keep) store(out + static_cast<std::size_t>(e) * outStride, y[r]);
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
  onVectorPath(path, [&]() TOLVANE_VECTOR_BODY {
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
        case 8: radixPass<8>(length_, pass.span, w, from, fromStride, to, toStride, kept); break;
        case 4: radixPass<4>(length_, pass.span, w, from, fromStride, to, toStride, kept); break;
        case 2: radixPass<2>(length_, pass.span, w, from, fromStride, to, toStride, kept); break;
        case 3: radixPass<3>(length_, pass.span, w, from, fromStride, to, toStride, kept); break;
        default: radixPass<5>(length_, pass.span, w, from, fromStride, to, toStride, kept); break;
      }
      from = to;
      fromStride = toStride;
    }
  });
}

}  // namespace tolvane::engine
