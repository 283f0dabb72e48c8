// Gauss-Jordan elimination, Jacobi eigen-decomposition and eigenvalue sorting;
// conventions in gauss_jordan_jacobi.h.
#include "numerics/gauss_jordan_jacobi.h"

#include <cmath>
#include <utility>

#include "numerics/arrays.h"

namespace {

constexpr int kMaxJacobiSweeps = 50;
// Sweeps that use a positive rotation threshold; later sweeps rotate any non-zero
// element.
constexpr int kThresholdSweeps = 3;
// From this sweep on, elements negligible beside both diagonal elements are zeroed.
constexpr int kFirstZeroingSweep = 5;

// The rotation step R(M; i, j; k, l) with sine s and tau = tan(angle / 2).
inline void rotate(float** m, int i, int j, int k, int l, float s, float tau) {
  const float g = m[i][j];
  const float h = m[k][l];
  m[i][j] = g - s * (h + g * tau);
  m[k][l] = h + s * (g - h * tau);
}

}  // namespace

void gaussj(float** a, int n, float** b, int m) {
  int* pivcol = ivector(1, n);
  int* pivrow = ivector(1, n);
  int* used = ivector(1, n);
  for (int j = 1; j <= n; ++j) used[j] = 0;

  for (int i = 1; i <= n; ++i) {
    // Full pivot search: the last element of largest magnitude in row-by-row order.
    float largest = 0.0f;
    int r = 0;  // 0: no candidate found yet
    int c = 0;
    for (int j = 1; j <= n; ++j) {
      if (used[j] == 1) continue;
      for (int k = 1; k <= n; ++k) {
        if (used[k] == 0) {
          if (std::fabs(a[j][k]) >= largest) {
            largest = std::fabs(a[j][k]);
            r = j;
            c = k;
          }
        } else if (used[k] > 1) {
          vcerror("gaussj: Singular Matrix-1");
        }
      }
    }
    // Every candidate was NaN: there is no pivot position to use, not even a stale one.
    if (r == 0) vcerror("gaussj: Singular Matrix-1");

    ++used[c];
    if (r != c) {
      for (int l = 1; l <= n; ++l) std::swap(a[r][l], a[c][l]);
      for (int l = 1; l <= m; ++l) std::swap(b[r][l], b[c][l]);
    }
    pivrow[i] = r;
    pivcol[i] = c;
    if (a[c][c] == 0.0f) vcerror("gaussj: Singular Matrix-2");
    const float q = 1.0f / a[c][c];
    a[c][c] = 1.0f;
    for (int l = 1; l <= n; ++l) a[c][l] = a[c][l] * q;
    for (int l = 1; l <= m; ++l) b[c][l] = b[c][l] * q;
    for (int t = 1; t <= n; ++t) {
      if (t == c) continue;
      const float f = a[t][c];
      a[t][c] = 0.0f;
      for (int l = 1; l <= n; ++l) a[t][l] = a[t][l] - a[c][l] * f;
      for (int l = 1; l <= m; ++l) b[t][l] = b[t][l] - b[c][l] * f;
    }
  }

  // Undo the column exchanges implied by the row exchanges, in reverse order.
  for (int l = n; l >= 1; --l) {
    if (pivrow[l] != pivcol[l]) {
      for (int k = 1; k <= n; ++k) std::swap(a[k][pivrow[l]], a[k][pivcol[l]]);
    }
  }
  free_ivector(used, 1, n);
  free_ivector(pivrow, 1, n);
  free_ivector(pivcol, 1, n);
}

void jacobi(float** a, int n, float* d, float** v, int* rotations) {
  float* b = vector(1, n);
  float* z = vector(1, n);
  for (int ip = 1; ip <= n; ++ip) {
    for (int iq = 1; iq <= n; ++iq) v[ip][iq] = 0.0f;
    v[ip][ip] = 1.0f;
  }
  for (int ip = 1; ip <= n; ++ip) {
    b[ip] = d[ip] = a[ip][ip];
    z[ip] = 0.0f;
  }
  *rotations = 0;

  for (int sweep = 1; sweep <= kMaxJacobiSweeps; ++sweep) {
    float offsum = 0.0f;
    for (int ip = 1; ip <= n - 1; ++ip)
      for (int iq = ip + 1; iq <= n; ++iq) offsum += std::fabs(a[ip][iq]);
    if (offsum == 0.0f) {
      free_vector(z, 1, n);
      free_vector(b, 1, n);
      return;
    }
    // n * n is an integer product; formed in 64 bits so that it cannot overflow (the
    // value is the same as the 32-bit product wherever that one is defined).
    const float threshold =
        sweep <= kThresholdSweeps
            ? static_cast<float>(0.2 * static_cast<double>(offsum) /
                                 static_cast<double>(static_cast<long long>(n) * n))
            : 0.0f;

    for (int ip = 1; ip <= n - 1; ++ip) {
      for (int iq = ip + 1; iq <= n; ++iq) {
        const float g = 100.0f * std::fabs(a[ip][iq]);
        if (sweep >= kFirstZeroingSweep && std::fabs(d[ip]) + g == std::fabs(d[ip]) &&
            std::fabs(d[iq]) + g == std::fabs(d[iq])) {
          a[ip][iq] = 0.0f;
        } else if (std::fabs(a[ip][iq]) > threshold) {
          float h = d[iq] - d[ip];
          float t;
          if (std::fabs(h) + g == std::fabs(h)) {
            t = a[ip][iq] / h;
          } else {
            const float theta =
                static_cast<float>(0.5 * static_cast<double>(h) / static_cast<double>(a[ip][iq]));
            const float thetaSquared = theta * theta;
            t = static_cast<float>(1.0 / (std::fabs(static_cast<double>(theta)) +
                                          std::sqrt(1.0 + static_cast<double>(thetaSquared))));
            if (theta < 0.0f) t = -t;
          }
          const float onePlusTSquared = 1.0f + t * t;
          const float c = static_cast<float>(1.0 / std::sqrt(static_cast<double>(onePlusTSquared)));
          const float s = t * c;
          const float tau =
              static_cast<float>(static_cast<double>(s) / (1.0 + static_cast<double>(c)));
          h = t * a[ip][iq];
          z[ip] = z[ip] - h;
          z[iq] = z[iq] + h;
          d[ip] = d[ip] - h;
          d[iq] = d[iq] + h;
          a[ip][iq] = 0.0f;
          for (int j = 1; j <= ip - 1; ++j) rotate(a, j, ip, j, iq, s, tau);
          for (int j = ip + 1; j <= iq - 1; ++j) rotate(a, ip, j, j, iq, s, tau);
          for (int j = iq + 1; j <= n; ++j) rotate(a, ip, j, iq, j, s, tau);
          for (int j = 1; j <= n; ++j) rotate(v, j, ip, j, iq, s, tau);
          ++*rotations;
        }
      }
    }
    for (int ip = 1; ip <= n; ++ip) {
      b[ip] = b[ip] + z[ip];
      d[ip] = b[ip];
      z[ip] = 0.0f;
    }
  }
  vcerror("Too many iterations in routine jacobi");
}

void eigsrt(float* d, float** v, int n) {
  for (int i = 1; i < n; ++i) {
    int k = i;
    float p = d[i];
    for (int j = i + 1; j <= n; ++j) {
      if (d[j] >= p) {
        k = j;
        p = d[j];
      }
    }
    if (k != i) {
      d[k] = d[i];
      d[i] = p;
      for (int j = 1; j <= n; ++j) std::swap(v[j][i], v[j][k]);
    }
  }
}
