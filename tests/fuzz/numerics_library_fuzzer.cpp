// Fuzz target for the numerical library: every exported routine, driven with small
// sizes (0, 1, 2, odd, even, not powers of 2), ranks and indices at and past their
// bounds, and values that include +-0, subnormals, +-Inf and NaN.
//
// The harness allocates every array with the library's own allocators, exactly as long
// as the routine's arguments say it must be, so a sanitizer flags any element read or
// written outside it. Sizes and ranks are hostile; array lengths are honest, because
// a routine cannot know the length of a pointer it is given.
//
// The library's documented way to refuse is vcerror, which ends the process. This
// target is linked with the linker's --wrap=vcerror, so that every call the library
// makes to vcerror from another routine's file lands in the wrapper below, which
// throws instead of exiting. Each call names the refusals that its routine documents
// (a message prefix, and for argument checks whether the arguments really are outside
// the contract); any other refusal, a crash, a sanitizer report, a leak, an exit or an
// input slower than the time limit is a finding. Allocation failures inside the
// allocators are not wrapped (same file as vcerror) and stay findings: the sizes here
// are tiny.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "numerics/arrays.h"
#include "numerics/fft.h"
#include "numerics/fitting.h"
#include "numerics/gauss_jordan_jacobi.h"
#include "numerics/matrix_utils.h"
#include "numerics/random.h"
#include "numerics/sorting.h"
#include "numerics/special_functions.h"
#include "numerics/statistics.h"
#include "numerics/svd.h"
#include "tests/fuzz/fuzz_support.h"

// Present when a sanitizer runtime with leak checking is linked (weak otherwise).
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace {

struct Refusal {
  std::string message;
};

// The refusals the routine under test documents: message prefixes, each allowed or not
// for the arguments at hand.
struct Allowed {
  const char* prefix;
  bool allowed;
};
std::vector<Allowed> g_allowed;

void allow(const char* prefix, bool when = true) { g_allowed.push_back({prefix, when}); }

// A refusal that is documented and fits the arguments ends the call; anything else is
// a broken promise.
void judge(const Refusal& refusal) {
  for (const Allowed& a : g_allowed) {
    if (refusal.message.compare(0, std::strlen(a.prefix), a.prefix) == 0) {
      if (a.allowed) return;
      std::fprintf(stderr, "refused valid arguments: %s\n", refusal.message.c_str());
      std::abort();
    }
  }
  std::fprintf(stderr, "undocumented refusal: %s\n", refusal.message.c_str());
  std::abort();
}

// Routines that may refuse only after their work arrays are allocated (a singular
// matrix, an iteration limit). In the library the process ends there; here the throw
// leaves those arrays behind, so they are kept out of the leak check. Their ordinary
// paths are leak-checked by the unit tests under the sanitizers.
struct LeaksOnRefusalIgnored {
  LeaksOnRefusalIgnored() {
    if (__lsan_disable) __lsan_disable();
  }
  ~LeaksOnRefusalIgnored() {
    if (__lsan_enable) __lsan_enable();
  }
};

// The fuzzer's bytes, read front to back; zeros once they run out.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t word() {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = (w << 8) | byte();
    return w;
  }
  int upTo(int max) { return byte() % (max + 1); }
  // Half the time one of the values that break arithmetic, otherwise any bit pattern.
  float value() {
    static const float kSpecial[] = {0.0f,
                                     -0.0f,
                                     1.0f,
                                     -1.0f,
                                     0.5f,
                                     2.0f,
                                     3.0f,
                                     -2.5f,
                                     10.0f,
                                     1e-3f,
                                     100.0f,
                                     1e6f,
                                     -1e6f,
                                     std::numeric_limits<float>::min(),
                                     std::numeric_limits<float>::denorm_min(),
                                     -std::numeric_limits<float>::denorm_min(),
                                     std::numeric_limits<float>::max(),
                                     -std::numeric_limits<float>::max(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::quiet_NaN(),
                                     0.9999999f,
                                     1.0000001f};
    constexpr int kCount = sizeof kSpecial / sizeof kSpecial[0];
    const std::uint8_t choice = byte();
    if (choice < 2 * kCount) return kSpecial[choice % kCount];
    if (choice < 200) return static_cast<float>(static_cast<int>(byte()) - 128) / 8.0f;
    const std::uint32_t bits = word();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  // Counts around the interesting small ones, now and then a larger one.
  unsigned long count(unsigned long small, unsigned long large) {
    const std::uint8_t b = byte();
    return b < 224 ? b % (small + 1) : b % (large + 1);
  }
  int sign() {
    static const int kSigns[] = {1, -1, 0, 2, -2};
    return kSigns[byte() % 5];
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool isNaNFree(const float* v, unsigned long lo, unsigned long hi) {
  for (unsigned long i = lo; i <= hi; ++i)
    if (std::isnan(v[i])) return false;
  return true;
}

// Library arrays owned by the harness, released when a call ends or refuses.
struct Vec {
  long low, high;
  float* v;
  Vec(long lo, long hi) : low(lo), high(hi), v(vector(lo, hi)) {}
  Vec(unsigned long n, Bytes& in) : Vec(1, static_cast<long>(n)) { fill(in); }
  ~Vec() { free_vector(v, low, high); }
  Vec(const Vec&) = delete;
  void fill(Bytes& in) {
    for (long i = low; i <= high; ++i) v[i] = in.value();
  }
  float& operator[](long i) { return v[i]; }
};

struct Mat {
  long base, rows, cols;
  float** m;
  Mat(long r, long c, long b = 1)
      : base(b), rows(r), cols(c), m(matrix(b, b + r - 1, b, b + c - 1)) {}
  Mat(long r, long c, Bytes& in, long b = 1) : Mat(r, c, b) { fill(in); }
  ~Mat() { free_matrix(m, base, base + rows - 1, base, base + cols - 1); }
  Mat(const Mat&) = delete;
  void fill(Bytes& in) {
    for (long i = base; i < base + rows; ++i)
      for (long j = base; j < base + cols; ++j) m[i][j] = in.value();
  }
  float* operator[](long i) { return m[i]; }
};

// The allocators themselves, with lower bounds below, at and above 1 and every length
// from empty up; every element is written, so the sanitizer checks the layout.
void fuzzArrays(Bytes& in) {
  const long lo = in.upTo(6) - 3;
  const long len = in.upTo(5);
  const long hi = lo + len - 1;
  float* v = vector(lo, hi);
  int* iv = ivector(lo, hi);
  unsigned long* lv = lvector(lo, hi);
  unsigned char* cv = cvector(lo, hi);
  double* dv = dvector(lo, hi);
  for (long i = lo; i <= hi; ++i) v[i] = iv[i] = lv[i] = cv[i] = dv[i] = 1;
  free_dvector(dv, lo, hi);
  free_cvector(cv, lo, hi);
  free_lvector(lv, lo, hi);
  free_ivector(iv, lo, hi);
  free_vector(v, lo, hi);

  const long clo = in.upTo(4) - 2;
  const long clen = in.upTo(4);
  const long chi = clo + clen - 1;
  float** m = matrix(lo, hi, clo, chi);
  int** im = imatrix(lo, hi, clo, chi);
  double** dm = dmatrix(lo, hi, clo, chi);
  for (long i = lo; i <= hi; ++i)
    for (long j = clo; j <= chi; ++j) m[i][j] = im[i][j] = dm[i][j] = 2;
  if (len > 0 && clen > 0) {
    fuzzing::require(&m[hi][chi] - &m[lo][clo] == len * clen - 1, "matrix is one block");
    // A view of the last rows, re-indexed from 1.
    const long from = lo + in.upTo(static_cast<int>(len) - 1);
    float** view = submatrix(m, from, hi, clo, chi, 1, 1);
    for (long a = 1; a <= hi - from + 1; ++a)
      for (long b = 1; b <= clen; ++b) view[a][b] = 3;
    free_submatrix(view, 1, hi - from + 1, 1, clen);
  }
  float** rows = convert_matrix(&m[lo][clo], lo, hi, clo, chi);
  for (long i = lo; i <= hi; ++i)
    for (long j = clo; j <= chi; ++j) rows[i][j] = 4;
  free_convert_matrix(rows, lo, hi, clo, chi);
  free_dmatrix(dm, lo, hi, clo, chi);
  free_imatrix(im, lo, hi, clo, chi);
  free_matrix(m, lo, hi, clo, chi);

  const long dlo = in.upTo(2);
  const long dhi = dlo + in.upTo(3) - 1;
  float*** t = f3tensor(lo, hi, clo, chi, dlo, dhi);
  unsigned char*** ct = c3tensor(lo, hi, clo, chi, dlo, dhi);
  for (long i = lo; i <= hi; ++i)
    for (long j = clo; j <= chi; ++j)
      for (long k = dlo; k <= dhi; ++k) t[i][j][k] = ct[i][j][k] = 5;
  free_c3tensor(ct, lo, hi, clo, chi, dlo, dhi);
  free_f3tensor(t, lo, hi, clo, chi, dlo, dhi);
}

void fuzzRandom(Bytes& in) {
  static const int kSeeds[] = {-1, 0, 1, -2147483647 - 1, 2147483647, -123456789};
  int seed = in.byte() < 128 ? kSeeds[in.byte() % 6] : static_cast<int>(in.word());
  const int draws = in.upTo(8);
  for (int i = 0; i < draws; ++i) {
    if (in.byte() & 1) {
      const float u = ran1(&seed);
      fuzzing::require(u > 0.0f && u < 1.0f, "ran1 in (0, 1)");
      fuzzing::require(seed >= 1 && seed <= 2147483646, "seed in 1 .. 2^31 - 2 after a draw");
    } else {
      // A pending deviate is returned without drawing, so the seed may stay as given.
      fuzzing::require(std::isfinite(gasdev(&seed)), "gasdev finite");
    }
  }
}

void fuzzSorting(Bytes& in) {
  const unsigned long n = in.count(12, 100);
  const int routine = in.upTo(4);
  Vec a(n, in);
  if (routine == 0 || routine == 1 || routine == 2) {
    Vec companion(n, in);
    allow("NSTACK too small", false);
    if (routine == 0) sort(n, a.v);
    if (routine == 1) sort2(n, a.v, companion.v);
    if (routine == 2) hpsort(n, a.v);
    if (isNaNFree(a.v, 1, n))
      for (unsigned long i = 2; i <= n; ++i) fuzzing::require(a[i - 1] <= a[i], "ascending");
    return;
  }
  const unsigned long k = in.count(n + 2, n + 2);
  const bool outside = k < 1 || k > n;
  if (routine == 3) {
    allow("select: k = ", outside);
    std::vector<float> sorted(a.v + 1, a.v + 1 + n);
    const float kth = select(k, n, a.v);
    fuzzing::require(!outside, "select refuses k outside 1..n");
    if (isNaNFree(a.v, 1, n)) {
      std::sort(sorted.begin(), sorted.end());
      fuzzing::require(kth == sorted[k - 1], "select gives the k-th smallest");
    }
  } else {
    allow("select_ushort: k = ", outside);
    // One block of exactly n elements, indexed from 1 like the library's vectors.
    void* block = std::malloc(n * sizeof(unsigned short));
    struct Free {
      void* p;
      ~Free() { std::free(p); }
    } release{block};
    unsigned short* s = static_cast<unsigned short*>(block) - 1;
    for (unsigned long i = 1; i <= n; ++i) s[i] = static_cast<unsigned short>(in.word());
    select_ushort(k, n, s);
    fuzzing::require(!outside, "select_ushort refuses k outside 1..n");
  }
}

void fuzzMatrixUtils(Bytes& in) {
  const int m = in.upTo(4), n = in.upTo(4), p = in.upTo(4);
  Mat a(m, n, in, 0), b(n, p, in, 0), c(m, p, 0), sq(m, m, 0), at(n, m, 0);
  Vec x(0, n - 1), y(0, m - 1), d(0, m - 1);
  x.fill(in);
  y.fill(in);
  d.fill(in);
  matrix_matrix_mult(a.m, b.m, c.m, m, n, p);
  transposematrix_matrix_mult(a.m, sq.m, m, n);
  fast_matrix_matrix_mult(a.m, b.m, sq.m, m, n, n, true, false);
  matrix_vector_mult(a.m, x.v, y.v, m, n);
  vector_vector_mult(x.v, x.v, n);
  matrix_transpose(a.m, at.m, m, n);
  diagmatrix_matrix_mult(d.v, a.m, m, n);
  Mat one(m, n, 1), back(m, n, 0);
  copy_matrix(a.m, one.m, m, n, 2);
  copy_matrix(one.m, back.m, m, n, 3);
  copy_matrix(one.m, one.m, m, n, 1);
  // Any mode: the arrays follow the index bases that the mode names (modes outside
  // 0..3 copy nothing).
  const int mode = in.upTo(9) - 2;
  Mat src(m, n, in, mode == 1 || mode == 3 ? 1 : 0), dst(m, n, mode == 1 || mode == 2 ? 1 : 0);
  copy_matrix(src.m, dst.m, m, n, mode);
}

void fuzzSvd(Bytes& in) {
  const int m = in.upTo(6), n = in.upTo(6);
  const int routine = in.upTo(2);
  if (routine == 0) {
    Mat a(m, n, in), v(n, n), cov(n, n);
    Vec w(1, n), b(static_cast<unsigned long>(m), in), x(1, n);
    svdcmp(a.m, m, n, w.v, v.m);
    svbksb(a.m, w.v, v.m, m, n, b.v, x.v);
    svdvar(v.m, n, w.v, cov.m);
  } else if (routine == 1) {
    Mat a(n, n, in, 0), ainv(n, n, 0);
    fuzzing::require(getInverseMatrixUsingSVD(a.m, ainv.m, n) == 1, "always 1");
  } else {
    const float r = pythag(in.value(), in.value());
    fuzzing::require(!(r < 0.0f), "pythag not negative");
  }
}

void fuzzGaussJordanJacobi(Bytes& in) {
  const int n = in.upTo(6), m = in.upTo(3);
  LeaksOnRefusalIgnored ignored;
  if (in.byte() & 1) {
    Mat a(n, n, in), b(n, m, in);
    allow("gaussj: Singular Matrix-");
    gaussj(a.m, n, b.m, m);
  } else {
    Mat a(n, n, in), v(n, n);
    Vec d(1, n);
    int rotations = -1;
    allow("Too many iterations in routine jacobi");
    jacobi(a.m, n, d.v, v.m, &rotations);
    fuzzing::require(rotations >= 0, "rotations counted");
    eigsrt(d.v, v.m, n);
  }
}

void fuzzFitting(Bytes& in) {
  const int npoints = in.upTo(8);
  const int nparams = in.upTo(7);
  Vec x(npoints, in), y(npoints, in), sigma(npoints, in);
  const int routine = in.upTo(3);
  if (routine == 0) {
    const int ncoef = in.upTo(5);
    Mat u(npoints, ncoef), v(ncoef, ncoef);
    Vec coef(1, ncoef), w(1, ncoef);
    float chisq = 0.0f;
    svdfit(x.v, y.v, sigma.v, npoints, coef.v, ncoef, u.m, v.m, w.v, &chisq, fpoly);
    return;
  }
  Vec params(static_cast<unsigned long>(nparams), in);
  std::vector<int> flags(static_cast<std::size_t>(nparams) + 1, 0);
  int mfit = 0;
  for (int j = 1; j <= nparams; ++j) mfit += (flags[static_cast<std::size_t>(j)] = in.byte() & 1);
  Mat alpha(nparams, nparams), covariance(nparams, nparams);
  if (routine == 1) {
    Vec beta(1, nparams), terms(1, std::max(nparams, 1)), deriv(1, nparams);
    float chisq = 0.0f, model = 0.0f;
    mrqcof(x.v, y.v, sigma.v, npoints, params.v, flags.data(), nparams, alpha.m, beta.v, &chisq,
           fgauss);
    fpoly(x.low <= x.high ? x[1] : 0.5f, terms.v, nparams);
    fgauss(in.value(), params.v, &model, deriv.v, nparams);
    return;
  }
  if (routine == 2) {
    covariance.fill(in);
    const int claimed = in.byte() < 192 ? mfit : in.upTo(nparams + 1);
    allow("covsrt: mfit = ", claimed != mfit);
    covsrt(covariance.m, nparams, flags.data(), claimed);
    fuzzing::require(claimed == mfit, "covsrt refuses a wrong mfit");
    return;
  }
  LeaksOnRefusalIgnored ignored;
  allow("gaussj: Singular Matrix-");
  float chisq = 0.0f;
  float lambda = -1.0f;
  const int steps = in.upTo(4);
  mrqmin(x.v, y.v, sigma.v, npoints, params.v, flags.data(), nparams, covariance.m, alpha.m, &chisq,
         fgauss, &lambda);
  for (int i = 0; i < steps; ++i)
    mrqmin(x.v, y.v, sigma.v, npoints, params.v, flags.data(), nparams, covariance.m, alpha.m,
           &chisq, fgauss, &lambda);
  lambda = 0.0f;
  mrqmin(x.v, y.v, sigma.v, npoints, params.v, flags.data(), nparams, covariance.m, alpha.m, &chisq,
         fgauss, &lambda);
}

unsigned long degreesOfFreedom(Bytes& in) {
  static const unsigned long kDf[] = {
      0, 1, 2, 3, 10, 1000000, 4294967295ul, std::numeric_limits<unsigned long>::max()};
  return kDf[in.byte() % 8];
}

void fuzzSpecialFunctions(Bytes& in) {
  const float a = in.value(), b = in.value(), x = in.value();
  float result = 0.0f, ln_gamma = 0.0f;
  switch (in.upTo(9)) {
    case 0:
      gammln(static_cast<double>(x));
      break;
    case 1:
      allow("x less than 0 in routine gser");
      allow("a too large, ITMAX too small in routine gser");
      gser(&result, a, x, &ln_gamma);
      break;
    case 2:
      allow("a too large, ITMAX too small in gcf");
      gcf(&result, a, x, &ln_gamma);
      break;
    case 3:
      allow("Invalid arguments in routine gammq", a <= 0.0f || x < 0.0f);
      allow("a too large, ITMAX too small in");
      gammq(a, x);
      break;
    case 4:
      betacf(static_cast<double>(a), static_cast<double>(b), static_cast<double>(x));
      betai(a, b, x);
      break;
    case 5:
      erfcc(x);
      probks(x);
      p_to_z(x);
      break;
    case 6:
      F_to_p(x, degreesOfFreedom(in), degreesOfFreedom(in));
      p_to_F(x, degreesOfFreedom(in), degreesOfFreedom(in));
      break;
    case 7:
      t_to_p(x, degreesOfFreedom(in));
      p_to_t(x, degreesOfFreedom(in));
      break;
    default:
      r_to_p(x, degreesOfFreedom(in));
      p_to_r(x, degreesOfFreedom(in));
      break;
  }
}

void fuzzStatistics(Bytes& in) {
  const unsigned long n1 = in.count(9, 40), n2 = in.count(9, 40);
  Vec s1(n1, in), s2(n2, in);
  float out[6] = {};
  switch (in.upTo(7)) {
    case 0:
      avevar(s1.v, n1, &out[0], &out[1]);
      break;
    case 1:
      ttest(s1.v, n1, s2.v, n2, &out[0], &out[1]);
      tutest(s1.v, n1, s2.v, n2, &out[0], &out[1]);
      break;
    case 2:
      kstwo(s1.v, n1, s2.v, n2, &out[0], &out[1]);
      fuzzing::require(std::isnan(out[0]) || (out[0] >= 0.0f && out[0] <= 1.0f),
                       "kstwo d in [0, 1]");
      break;
    case 3:
      sort(n1, s1.v);
      crank(n1, s1.v, &out[0]);
      break;
    case 4: {
      Vec t(n1, in);
      spear(s1.v, t.v, n1, &out[0], &out[1], &out[2], &out[3], &out[4]);
      break;
    }
    case 5: {
      Vec t(n1, in);
      pearsn(s1.v, t.v, n1, &out[0], &out[1], &out[2]);
      pearsn_prob(s1.v, t.v, n1, &out[0], &out[1], &out[2]);
      break;
    }
    case 6: {
      float acc[6] = {};
      for (unsigned long i = 1; i <= n1; ++i) {
        pearsn_inc(s1[i], s2.low <= s2.high ? s2[1] : 0.0f, acc[0], acc[1], acc[2], acc[3], acc[4],
                   acc[5], &out[0]);
      }
      float acc2[6] = {};
      for (unsigned long i = 1; i <= n1; ++i) {
        regr_inc(s1[i], in.value(), acc2[0], acc2[1], acc2[2], acc2[3], acc2[4], acc2[5], &out[0],
                 &out[1], &out[2]);
      }
      break;
    }
    default: {
      const int n = static_cast<int>(n1);
      Vec y(n1, in), sigma(n1, in);
      const int use_sigma = in.byte() & 1;
      allow("Invalid arguments in routine gammq", use_sigma != 0 && n <= 2);
      allow("a too large, ITMAX too small in");
      fit(s1.v, y.v, n, sigma.v, use_sigma, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5]);
      break;
    }
  }
}

void fuzzFft(Bytes& in) {
  auto power = [](unsigned long v) { return v != 0 && (v & (v - 1)) == 0; };
  const int sign = in.sign();
  switch (in.upTo(3)) {
    case 0: {
      const unsigned long npoints = in.count(17, 64);
      Vec data(2 * npoints, in);
      allow("four1: npoints = ", npoints != 0 && !power(npoints));
      four1(data.v, npoints, sign);
      fuzzing::require(npoints == 0 || power(npoints), "four1 refuses other lengths");
      break;
    }
    case 1: {
      const int ndims = in.upTo(3);
      unsigned long dims[4] = {0, 1, 1, 1};
      unsigned long total = 1;
      bool valid = true;
      for (int i = 1; i <= ndims; ++i) {
        dims[i] = in.count(5, 9);
        total *= dims[i];
        valid = valid && (dims[i] == 0 || power(dims[i]));
      }
      Vec data(2 * total, in);
      allow("fourn: dims[", !valid);
      fourn(data.v, dims, ndims, sign);
      fuzzing::require(valid, "fourn refuses other lengths");
      break;
    }
    case 2: {
      const unsigned long n = in.count(17, 64);
      Vec data(n, in);
      allow("realft: n = ", n > 1 && !power(n));
      realft(data.v, n, sign);
      fuzzing::require(n <= 1 || power(n), "realft refuses other lengths");
      break;
    }
    default: {
      const unsigned long len1 = in.count(5, 5), len2 = in.count(5, 5), len3 = in.count(9, 9);
      const bool valid = power(len1) && power(len2) && power(len3) && len3 >= 2;
      // Arrays of at least one element per index, so that a refused call has something
      // to be handed; a valid call gets exactly its lengths.
      const long l1 = std::max(len1, 1ul), l2 = std::max(len2, 1ul), l3 = std::max(len3, 1ul);
      float*** data = f3tensor(1, l1, 1, l2, 1, l3);
      Mat nyquist(l1, 2 * l2, in);
      for (long i = 1; i <= l1; ++i)
        for (long j = 1; j <= l2; ++j)
          for (long k = 1; k <= l3; ++k) data[i][j][k] = in.value();
      struct Free {
        float*** t;
        long a, b, c;
        ~Free() { free_f3tensor(t, 1, a, 1, b, 1, c); }
      } release{data, l1, l2, l3};
      allow("rlft3: len", !valid);
      rlft3(data, nyquist.m, len1, len2, len3, sign == 1 ? 1 : -1);
      fuzzing::require(valid, "rlft3 refuses other lengths");
      break;
    }
  }
}

}  // namespace

// Reached instead of the library's vcerror (linked with --wrap): a refusal, judged by
// the call in progress.
extern "C" [[noreturn]] void __wrap__Z7vcerrorPKc(const char* message) { throw Refusal{message}; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  g_allowed.clear();
  try {
    switch (in.upTo(10)) {
      case 0:
        fuzzArrays(in);
        break;
      case 1:
        fuzzRandom(in);
        break;
      case 2:
        fuzzSorting(in);
        break;
      case 3:
        fuzzMatrixUtils(in);
        break;
      case 4:
        fuzzSvd(in);
        break;
      case 5:
        fuzzGaussJordanJacobi(in);
        break;
      case 6:
        fuzzFitting(in);
        break;
      case 7:
        fuzzSpecialFunctions(in);
        break;
      case 8:
        fuzzStatistics(in);
        break;
      default:
        fuzzFft(in);
        break;
    }
  } catch (const Refusal& refusal) {
    judge(refusal);
  }
  return 0;
}
