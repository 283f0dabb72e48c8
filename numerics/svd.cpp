// Singular value decomposition and SVD-based solution; conventions in svd.h.
//
// Householder bidiagonalisation, then implicit-shift QR on the bidiagonal form
// (Golub-Reinsch). Every step is single precision except the few evaluated in
// double; those widenings are written out.
#include "numerics/svd.h"

#include <algorithm>
#include <cmath>

#include "numerics/arrays.h"
#include "numerics/matrix_utils.h"

namespace {

// Set on entry to every svdcmp, and to true when a singular value has failed the
// convergence test on the last allowed iteration. Read by getInverseMatrixUsingSVD.
bool NoConvergenceInSVD = false;

constexpr int kMaxIterations = 100;
// |x| < kNegligible (absolute, strict) is the only convergence and splitting test.
constexpr float kNegligible = 1.0e-6f;
// Singular values below this fraction of the largest are discarded by the inverse.
constexpr double kInverseCutoff = 1.0e-6;

// +|magnitude| for sign_of >= 0, -|magnitude| otherwise.
inline float withSign(float magnitude, float sign_of) {
  return sign_of >= 0.0f ? std::fabs(magnitude) : -std::fabs(magnitude);
}
inline double withSign(double magnitude, float sign_of) {
  return sign_of >= 0.0f ? std::fabs(magnitude) : -std::fabs(magnitude);
}

// Square root taken in double on a float argument, rounded back to float.
inline float squareRoot(float x) { return static_cast<float>(std::sqrt(static_cast<double>(x))); }

inline bool negligible(float x) { return std::fabs(x) < kNegligible; }

}  // namespace

namespace tolvane::svd {
bool noConvergenceInSVD() { return NoConvergenceInSVD; }
}  // namespace tolvane::svd

float pythag(float a, float b) {
  const float absa = std::fabs(a);
  const float absb = std::fabs(b);
  if (absa > absb) {
    const float r = absb / absa;
    const float r2 = r == 0.0f ? 0.0f : r * r;
    return absa * static_cast<float>(std::sqrt(1.0 + static_cast<double>(r2)));
  }
  if (absb == 0.0f) return 0.0f;
  const float r = absa / absb;
  const float r2 = r == 0.0f ? 0.0f : r * r;
  return absb * static_cast<float>(std::sqrt(1.0 + static_cast<double>(r2)));
}

namespace {

// Householder reduction of a (m x n) to upper bidiagonal form: the diagonal goes to w,
// the superdiagonal to e (e[1] = 0), and the Householder vectors stay in a.
void bidiagonalise(float** a, int m, int n, float* w, float* e) {
  float g = 0.0f, scale = 0.0f, s = 0.0f;
  for (int i = 1; i <= n; ++i) {
    const int l = i + 1;
    e[i] = scale * g;
    g = s = scale = 0.0f;
    if (i <= m) {
      for (int k = i; k <= m; ++k) scale += std::fabs(a[k][i]);
      if (scale != 0.0f) {
        for (int k = i; k <= m; ++k) {
          a[k][i] = a[k][i] / scale;
          s += a[k][i] * a[k][i];
        }
        const float f = a[i][i];
        g = -withSign(squareRoot(s), f);
        const float h = f * g - s;
        a[i][i] = f - g;
        for (int j = l; j <= n; ++j) {
          float t = 0.0f;
          for (int k = i; k <= m; ++k) t += a[k][i] * a[k][j];
          const float factor = t / h;
          for (int k = i; k <= m; ++k) a[k][j] = a[k][j] + factor * a[k][i];
        }
        for (int k = i; k <= m; ++k) a[k][i] = a[k][i] * scale;
      }
    }
    w[i] = scale * g;
    g = s = scale = 0.0f;
    if (i <= m && i != n) {
      for (int k = l; k <= n; ++k) scale += std::fabs(a[i][k]);
      if (scale != 0.0f) {
        for (int k = l; k <= n; ++k) {
          a[i][k] = a[i][k] / scale;
          s += a[i][k] * a[i][k];
        }
        const float f = a[i][l];
        g = -withSign(squareRoot(s), f);
        const float h = f * g - s;
        a[i][l] = f - g;
        for (int k = l; k <= n; ++k) e[k] = a[i][k] / h;
        for (int j = l; j <= m; ++j) {
          float t = 0.0f;
          for (int k = l; k <= n; ++k) t += a[j][k] * a[i][k];
          for (int k = l; k <= n; ++k) a[j][k] = a[j][k] + t * e[k];
        }
        for (int k = l; k <= n; ++k) a[i][k] = a[i][k] * scale;
      }
    }
  }
}

// Accumulates the right-hand transformations, stored in the rows of a, into v.
void accumulateRightTransforms(float** a, int n, const float* e, float** v) {
  float g = 0.0f;  // each is set at i = n before it is first read
  int l = n + 1;
  for (int i = n; i >= 1; --i) {
    if (i < n) {
      if (g != 0.0f) {
        for (int j = l; j <= n; ++j) v[j][i] = (a[i][j] / a[i][l]) / g;
        for (int j = l; j <= n; ++j) {
          float t = 0.0f;
          for (int k = l; k <= n; ++k) t += a[i][k] * v[k][j];
          for (int k = l; k <= n; ++k) v[k][j] = v[k][j] + t * v[k][i];
        }
      }
      for (int j = l; j <= n; ++j) v[i][j] = v[j][i] = 0.0f;
    }
    v[i][i] = 1.0f;
    g = e[i];
    l = i;
  }
}

// Accumulates the left-hand transformations, stored in the columns of a, into a
// itself, which becomes U.
void accumulateLeftTransforms(float** a, int m, int n, const float* w) {
  for (int i = std::min(m, n); i >= 1; --i) {
    const int l = i + 1;
    float g = w[i];
    for (int j = l; j <= n; ++j) a[i][j] = 0.0f;
    if (g != 0.0f) {
      g = 1.0f / g;
      for (int j = l; j <= n; ++j) {
        float t = 0.0f;
        for (int k = l; k <= m; ++k) t += a[k][i] * a[k][j];
        const float f = (t / a[i][i]) * g;
        for (int k = i; k <= m; ++k) a[k][j] = a[k][j] + f * a[k][i];
      }
      for (int j = i; j <= m; ++j) a[j][i] = a[j][i] * g;
    } else {
      for (int j = i; j <= m; ++j) a[j][i] = 0.0f;
    }
    a[i][i] = a[i][i] + 1.0f;
  }
}

// Diagonalises the bidiagonal form (w, e) by implicit-shift QR sweeps, applying the
// rotations to U (in a) and V; sets NoConvergenceInSVD when a singular value has not
// converged after kMaxIterations sweeps.
void diagonalise(float** a, int m, int n, float* w, float* e, float** v) {
  float g = 0.0f, s = 0.0f;
  int l = 0;
  for (int k = n; k >= 1; --k) {
    for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
      bool cancel = true;
      for (l = k; l >= 1; --l) {  // e[1] is always 0: the search ends at l = 1
        if (negligible(e[l])) {
          cancel = false;
          break;
        }
        if (negligible(w[l - 1])) break;
      }
      if (cancel) {
        float c = 0.0f;
        s = 1.0f;
        for (int i = l; i <= k; ++i) {
          const float f = s * e[i];
          e[i] = c * e[i];
          if (negligible(f)) break;
          g = w[i];
          float h = pythag(f, g);
          w[i] = h;
          h = 1.0f / h;
          c = g * h;
          s = -f * h;
          for (int j = 1; j <= m; ++j) {
            const float y = a[j][l - 1];
            const float z = a[j][i];
            a[j][l - 1] = y * c + z * s;
            a[j][i] = z * c - y * s;
          }
        }
      }
      float z = w[k];
      if (l == k) {  // converged: make the singular value non-negative
        if (z < 0.0f) {
          w[k] = -z;
          for (int j = 1; j <= n; ++j) v[j][k] = -v[j][k];
        }
        break;
      }
      if (iteration == kMaxIterations) NoConvergenceInSVD = true;

      // Shift from the bottom 2x2 minor.
      float x = w[l];
      float y = w[k - 1];
      g = e[k - 1];
      float h = e[k];
      float f = ((y - z) * (y + z) + (g - h) * (g + h)) / ((h + h) * y);
      g = pythag(f, 1.0f);
      const float xzProduct = (x - z) * (x + z);
      f = static_cast<float>((static_cast<double>(xzProduct) +
                              static_cast<double>(h) *
                                  (static_cast<double>(y) / (static_cast<double>(f) +
                                                             withSign(static_cast<double>(g), f)) -
                                   static_cast<double>(h))) /
                             static_cast<double>(x));

      // QR sweep.
      float c = 1.0f;
      s = 1.0f;
      for (int j = l; j <= k - 1; ++j) {
        const int i = j + 1;
        g = e[i];
        y = w[i];
        h = s * g;
        g = c * g;
        z = pythag(f, h);
        e[j] = z;
        c = f / z;
        s = h / z;
        f = x * c + g * s;
        g = g * c - x * s;
        h = y * s;
        y = y * c;
        for (int jj = 1; jj <= n; ++jj) {
          x = v[jj][j];
          z = v[jj][i];
          v[jj][j] = x * c + z * s;
          v[jj][i] = z * c - x * s;
        }
        z = pythag(f, h);
        w[j] = z;
        if (z != 0.0f) {
          z = 1.0f / z;
          c = f * z;
          s = h * z;
        }
        f = c * g + s * y;
        x = c * y - s * g;
        for (int jj = 1; jj <= m; ++jj) {
          y = a[jj][j];
          z = a[jj][i];
          a[jj][j] = y * c + z * s;
          a[jj][i] = z * c - y * s;
        }
      }
      e[l] = 0.0f;
      e[k] = f;
      w[k] = x;
    }
  }
}

}  // namespace

void svdcmp(float** a, int m, int n, float* w, float** v) {
  NoConvergenceInSVD = false;
  float* e = vector(1, n);
  bidiagonalise(a, m, n, w, e);
  accumulateRightTransforms(a, n, e, v);
  accumulateLeftTransforms(a, m, n, w);
  diagonalise(a, m, n, w, e, v);
  free_vector(e, 1, n);
}

void svbksb(float** u, float* w, float** v, int m, int n, float* b, float* x) {
  float* t = vector(1, n);
  for (int j = 1; j <= n; ++j) {
    float sum = 0.0f;
    if (w[j] != 0.0f) {
      for (int i = 1; i <= m; ++i) sum += u[i][j] * b[i];
      sum = sum / w[j];
    }
    t[j] = sum;
  }
  for (int j = 1; j <= n; ++j) {
    float sum = 0.0f;
    for (int jj = 1; jj <= n; ++jj) sum += v[j][jj] * t[jj];
    x[j] = sum;
  }
  free_vector(t, 1, n);
}

void svdvar(float** v, int n, float* w, float** cov) {
  float* q = vector(1, n);
  for (int i = 1; i <= n; ++i) q[i] = w[i] != 0.0f ? 1.0f / (w[i] * w[i]) : 0.0f;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= i; ++j) {
      float sum = 0.0f;
      for (int k = 1; k <= n; ++k) sum += v[i][k] * v[j][k] * q[k];
      cov[j][i] = cov[i][j] = sum;
    }
  }
  free_vector(q, 1, n);
}

int getInverseMatrixUsingSVD(float** a, float** ainv, int n) {
  float** u = matrix(1, n, 1, n);
  float** v = matrix(1, n, 1, n);
  float* w = vector(1, n);
  float** t = matrix(0, n - 1, 0, n - 1);
  float** p = matrix(0, n - 1, 0, n - 1);
  float** q = matrix(0, n - 1, 0, n - 1);

  copy_matrix(a, u, n, n, 2);
  svdcmp(u, n, n, w, v);
  if (NoConvergenceInSVD) {
    // A singular value that did not converge may be left negative. Its magnitude is
    // what the threshold below compares; negating column i of v along with it keeps
    // u * diag(w) * v^T equal to a (as svdcmp does for a converged value). Taking |w[i]|
    // alone, with v unchanged, would invert a different matrix: the result times a
    // would be -1 instead of +1 along that singular direction.
    for (int i = 1; i <= n; ++i) {
      if (w[i] < 0.0f) {
        w[i] = -w[i];
        for (int j = 1; j <= n; ++j) v[j][i] = -v[j][i];
      }
    }
  }
  float wmax = 0.0f;
  for (int i = 1; i <= n; ++i) wmax = std::max(wmax, w[i]);
  const float thresh = static_cast<float>(static_cast<double>(wmax) * kInverseCutoff);
  for (int i = 1; i <= n; ++i) {
    // A singular value of exactly 0 is discarded even when the threshold is 0 (an
    // all-zero matrix), so that nothing is ever divided by zero.
    if (w[i] == 0.0f || w[i] < thresh) {
      w[i] = 0.0f;
    } else {
      w[i] = 1.0f / w[i];
    }
  }

  copy_matrix(u, q, n, n, 3);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k) t[k][j] = q[j][k];
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k) t[j][k] = t[j][k] * w[j + 1];
  copy_matrix(v, q, n, n, 3);
  copy_matrix(q, p, n, n, 0);
  matrix_matrix_mult(p, t, ainv, n, n, n);

  free_matrix(t, 0, n - 1, 0, n - 1);
  free_matrix(p, 0, n - 1, 0, n - 1);
  free_matrix(q, 0, n - 1, 0, n - 1);
  free_matrix(v, 1, n, 1, n);
  free_matrix(u, 1, n, 1, n);
  free_vector(w, 1, n);
  return 1;
}
