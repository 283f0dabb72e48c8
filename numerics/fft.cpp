// Fast Fourier transforms.
//
// Conventions: one-based float arrays, interleaved complex values, power-of-2 lengths;
// see fft.h. Twiddle factors w = wr + i wi are carried in double through the recurrence
// w <- w (1 + alpha + i beta) with alpha = -2 sin^2(theta/2) and beta = sin(theta),
// which loses far less accuracy than repeated cos/sin products and needs two sin calls
// per stage. The butterflies of four1, realft and rlft3 form their products in double
// and round them to float; fourn rounds the twiddle factor to float first and works in
// float throughout. All of it is written out with explicit casts, because the results
// are reproduced to the last bit.
#include "numerics/fft.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "numerics/argument_checks.h"

namespace {

using tolvane::numerics::isPowerOfTwo;
using tolvane::numerics::refuseArgument;

// 2 pi as the transforms have always used it (not the double nearest to 2 pi), and pi
// for the real-sequence split.
constexpr double kTwoPi = 6.28318530717959;
constexpr double kPi = 3.141592653589793;

// Twiddle factor and its per-step rotation for one stage of angle theta.
struct Twiddle {
  double wr = 1.0;
  double wi = 0.0;
  double alpha;
  double beta;

  explicit Twiddle(double theta) {
    const double s_half = std::sin(0.5 * theta);
    alpha = -2.0 * s_half * s_half;
    beta = std::sin(theta);
  }

  void advance() {
    const double old_wr = wr;
    wr = wr + (wr * alpha - wi * beta);
    wi = wi + (wi * alpha + old_wr * beta);
  }
};

// The split step shared by realft and rlft3: combines the transform values at one
// frequency (a) and its mirror (b) of a real sequence packed as complex pairs. c_a and
// c_b select forward or inverse. All four inputs are read before any output is written,
// so a pair that maps onto itself is handled correctly.
void splitPair(float& a_re, float& a_im, float& b_re, float& b_im, float c_a, float c_b, double wr,
               double wi) {
  const float even_re = c_a * (a_re + b_re);
  const float even_im = c_a * (a_im - b_im);
  const float odd_re = -c_b * (a_im + b_im);
  const float odd_im = c_b * (a_re - b_re);
  const double er = static_cast<double>(even_re);
  const double ei = static_cast<double>(even_im);
  const double orr = static_cast<double>(odd_re);
  const double oi = static_cast<double>(odd_im);
  a_re = static_cast<float>(er + wr * orr - wi * oi);
  a_im = static_cast<float>(ei + wr * oi + wi * orr);
  b_re = static_cast<float>(er - wr * orr + wi * oi);
  b_im = static_cast<float>(-ei + wr * oi + wi * orr);
}

}  // namespace

// Decimation in time: bit-reversal permutation, then log2(npoints) stages of
// Danielson-Lanczos butterflies. npoints = 1 leaves data unchanged and npoints = 0 has
// nothing to transform. Any other length must be a power of 2: the bit reversal of
// another length would exchange elements past the end of the array.
void four1(float* data, unsigned long npoints, int sign) {
  if (npoints != 0 && !isPowerOfTwo(npoints)) {
    refuseArgument("four1: npoints = %lu is not a power of 2", npoints);
  }
  const unsigned long n = 2 * npoints;
  unsigned long j = 1;
  for (unsigned long i = 1; i < n; i += 2) {
    if (j > i) {
      std::swap(data[j], data[i]);
      std::swap(data[j + 1], data[i + 1]);
    }
    unsigned long m = npoints;
    while (m >= 2 && j > m) {
      j -= m;
      m /= 2;
    }
    j += m;
  }
  unsigned long half = 2;
  while (n > half) {
    const unsigned long span = 2 * half;
    Twiddle w((kTwoPi / static_cast<double>(half)) * static_cast<double>(sign));
    for (unsigned long m = 1; m < half; m += 2) {
      for (unsigned long i = m; i <= n; i += span) {
        j = i + half;
        const double re = static_cast<double>(data[j]);
        const double im = static_cast<double>(data[j + 1]);
        const float tr = static_cast<float>(w.wr * re - w.wi * im);
        const float ti = static_cast<float>(w.wr * im + w.wi * re);
        data[j] = data[i] - tr;
        data[j + 1] = data[i + 1] - ti;
        data[i] = data[i] + tr;
        data[i + 1] = data[i + 1] + ti;
      }
      w.advance();
    }
    half = span;
  }
}

// One-dimensional transforms along each dimension in turn, last dimension first. For
// dimension idim, inner is the product of the later dimensions, so consecutive
// elements along idim lie 2 inner floats apart. A dimension of 0 makes the array
// empty (and would otherwise be divided by); no dimensions at all make it a single
// value, its own transform.
void fourn(float* data, unsigned long* dims, int ndims, int sign) {
  if (ndims < 0) refuseArgument("fourn: ndims = %d is negative", ndims);
  unsigned long total = 1;
  for (int idim = 1; idim <= ndims; ++idim) {
    if (dims[idim] != 0 && !isPowerOfTwo(dims[idim])) {
      refuseArgument("fourn: dims[%d] = %lu is not a power of 2", idim, dims[idim]);
    }
    total *= dims[idim];
  }
  if (total == 0) return;
  const double angle_base = static_cast<double>(sign) * kTwoPi;
  unsigned long inner = 1;
  for (int idim = ndims; idim >= 1; --idim) {
    const unsigned long n = dims[idim];
    const unsigned long outer = total / (n * inner);
    const unsigned long unit = 2 * inner;
    const unsigned long block = unit * n;
    const unsigned long extent = block * outer;

    unsigned long rev = 1;
    for (unsigned long i2 = 1; i2 <= block; i2 += unit) {
      if (i2 < rev) {
        for (unsigned long i1 = i2; i1 <= i2 + unit - 2; i1 += 2) {
          for (unsigned long i3 = i1; i3 <= extent; i3 += block) {
            const unsigned long k_rev = rev + i3 - i2;
            std::swap(data[i3], data[k_rev]);
            std::swap(data[i3 + 1], data[k_rev + 1]);
          }
        }
      }
      unsigned long bit = block / 2;
      while (bit >= unit && rev > bit) {
        rev -= bit;
        bit /= 2;
      }
      rev += bit;
    }

    unsigned long half = unit;
    while (half < block) {
      const unsigned long span = 2 * half;
      Twiddle w(angle_base / static_cast<double>(span / unit));
      for (unsigned long i3 = 1; i3 <= half; i3 += unit) {
        const float wr = static_cast<float>(w.wr);
        const float wi = static_cast<float>(w.wi);
        for (unsigned long i1 = i3; i1 <= i3 + unit - 2; i1 += 2) {
          for (unsigned long i2 = i1; i2 <= extent; i2 += span) {
            const unsigned long ka = i2;
            const unsigned long kb = ka + half;
            const float tr = wr * data[kb] - wi * data[kb + 1];
            const float ti = wr * data[kb + 1] + wi * data[kb];
            data[kb] = data[ka] - tr;
            data[kb + 1] = data[ka + 1] - ti;
            data[ka] = data[ka] + tr;
            data[ka + 1] = data[ka + 1] + ti;
          }
        }
        w.advance();
      }
      half = span;
    }
    inner *= n;
  }
}

// The n real values are transformed as n/2 complex values (even samples real, odd
// samples imaginary) and then split into the transform of the real sequence; the
// inverse undoes the split first and then transforms back. The split needs n >= 2:
// n = 1 has no Nyquist value in data[2] (the transform of one value is that value, and
// the inverse scales it by n/2 like every other length), n = 0 has nothing to
// transform.
void realft(float* data, unsigned long n, int sign) {
  if (n <= 1) {
    if (n == 1 && sign != 1) data[1] = 0.5f * data[1];
    return;
  }
  if (!isPowerOfTwo(n)) refuseArgument("realft: n = %lu is not a power of 2", n);
  double theta = kPi / static_cast<double>(n / 2);
  const float c_a = 0.5f;
  float c_b;
  if (sign == 1) {
    c_b = -0.5f;
    four1(data, n / 2, 1);
  } else {
    c_b = 0.5f;
    theta = -theta;
  }
  Twiddle w(theta);
  w.wr = 1.0 + w.alpha;
  w.wi = w.beta;
  for (unsigned long i = 2; i <= n / 4; ++i) {
    const unsigned long i1 = 2 * i - 1;
    const unsigned long i2 = i1 + 1;
    const unsigned long i3 = n + 3 - i2;
    const unsigned long i4 = i3 + 1;
    splitPair(data[i1], data[i2], data[i3], data[i4], c_a, c_b, w.wr, w.wi);
    w.advance();
  }
  const float first = data[1];
  if (sign == 1) {
    data[1] = first + data[2];
    data[2] = first - data[2];
  } else {
    data[1] = c_a * (first + data[2]);
    data[2] = c_a * (first - data[2]);
    four1(data, n / 2, -1);
  }
}

// The real array is transformed as a complex array of len1 x len2 x len3/2 (pairs along
// the last index), then split into the transform of the real data; the values at the
// last-index Nyquist frequency do not fit and go to nyquist. The inverse splits first
// and transforms back. The contiguity test compares byte addresses so that it is well
// defined even when the rows lie in unrelated blocks. The lengths are checked before
// any element is addressed: len3 must give at least one complex pair along the last
// index (len3 = 1 would leave fourn a dimension of 0 and the split no pair to read).
void rlft3(float*** data, float** nyquist, unsigned long len1, unsigned long len2,
           unsigned long len3, int sign) {
  if (!isPowerOfTwo(len1)) refuseArgument("rlft3: len1 = %lu is not a power of 2", len1);
  if (!isPowerOfTwo(len2)) refuseArgument("rlft3: len2 = %lu is not a power of 2", len2);
  if (len3 < 2 || !isPowerOfTwo(len3)) {
    refuseArgument("rlft3: len3 = %lu is not a power of 2 of at least 2", len3);
  }
  const auto first = reinterpret_cast<std::uintptr_t>(&data[1][1][1]);
  const auto last = reinterpret_cast<std::uintptr_t>(&data[len1][len2][len3]);
  const unsigned long total = len1 * len2 * len3;
  if (last < first || (last - first) != (total - 1) * sizeof(float)) std::exit(1);

  const float c_a = 0.5f;
  const float c_b = static_cast<float>(-0.5 * static_cast<double>(sign));
  const double theta = (kTwoPi / static_cast<double>(len3)) * static_cast<double>(sign);
  const Twiddle start(theta);  // wr = 1, wi = 0 at the start of every plane
  unsigned long dims[4] = {0, len1, len2, len3 / 2};
  // fourn indexes from 1, so it gets the address one element before data[1][1][1].
  float* block = &data[1][1][1] - 1;

  if (sign == 1) {
    fourn(block, dims, 3, 1);
    for (unsigned long i1 = 1; i1 <= len1; ++i1) {
      for (unsigned long i2 = 1; i2 <= len2; ++i2) {
        nyquist[i1][2 * i2 - 1] = data[i1][i2][1];
        nyquist[i1][2 * i2] = data[i1][i2][2];
      }
    }
  }
  for (unsigned long i1 = 1; i1 <= len1; ++i1) {
    const unsigned long m1 = (i1 == 1) ? 1 : len1 - i1 + 2;
    Twiddle w = start;
    for (unsigned long i3 = 1; i3 <= len3 / 4 + 1; ++i3) {
      const unsigned long col = 2 * i3 - 1;
      for (unsigned long i2 = 1; i2 <= len2; ++i2) {
        if (i3 == 1) {
          // Frequency 0 along the last index pairs with the Nyquist plane; both are
          // real-symmetric, so no twiddle factor enters.
          const unsigned long m2 = (i2 == 1) ? 1 : 2 * (len2 - i2) + 3;
          float& a_re = data[i1][i2][1];
          float& a_im = data[i1][i2][2];
          float& b_re = nyquist[m1][m2];
          float& b_im = nyquist[m1][m2 + 1];
          const float even_re = c_a * (a_re + b_re);
          const float even_im = c_a * (a_im - b_im);
          const float odd_im = c_b * (a_re - b_re);
          const float odd_re = -c_b * (a_im + b_im);
          a_re = even_re + odd_re;
          a_im = even_im + odd_im;
          b_re = even_re - odd_re;
          b_im = odd_im - even_im;
        } else {
          const unsigned long m2 = (i2 == 1) ? 1 : len2 - i2 + 2;
          const unsigned long m3 = len3 + 3 - 2 * i3;
          splitPair(data[i1][i2][col], data[i1][i2][col + 1], data[m1][m2][m3],
                    data[m1][m2][m3 + 1], c_a, c_b, w.wr, w.wi);
        }
      }
      w.advance();
    }
  }
  if (sign == -1) fourn(block, dims, 3, -1);
}
