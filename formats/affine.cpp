// Affine arithmetic; see affine.h.
#include "formats/affine.h"

#include <cmath>

namespace tolvane::formats {

Affine compose(const Affine& second, const Affine& first) {
  Affine out{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      double sum = c == 3 ? second.m[r][3] : 0.0;
      for (int k = 0; k < 3; ++k) sum += second.m[r][k] * first.m[k][c];
      out.m[r][c] = sum;
    }
  }
  return out;
}

double determinant(const Affine& a) {
  return a.m[0][0] * (a.m[1][1] * a.m[2][2] - a.m[1][2] * a.m[2][1]) -
         a.m[0][1] * (a.m[1][0] * a.m[2][2] - a.m[1][2] * a.m[2][0]) +
         a.m[0][2] * (a.m[1][0] * a.m[2][1] - a.m[1][1] * a.m[2][0]);
}

bool isInvertible(const Affine& a) {
  for (const auto& row : a.m) {
    for (const double entry : row) {
      if (!std::isfinite(entry)) return false;
    }
  }
  const double det = determinant(a);
  return det != 0.0 && std::isfinite(det);
}

Affine inverse(const Affine& a) {
  const double det = determinant(a);
  Affine out{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      // Cofactor of a[c][r], with cyclic indices supplying the sign.
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      out.m[r][c] = (a.m[r1][c1] * a.m[r2][c2] - a.m[r1][c2] * a.m[r2][c1]) / det;
    }
  }
  for (int r = 0; r < 3; ++r) {
    out.m[r][3] = -(out.m[r][0] * a.m[0][3] + out.m[r][1] * a.m[1][3] + out.m[r][2] * a.m[2][3]);
  }
  return out;
}

double columnLength(const Affine& a, int column) {
  return std::sqrt(a.m[0][column] * a.m[0][column] + a.m[1][column] * a.m[1][column] +
                   a.m[2][column] * a.m[2][column]);
}

Point3 voxelSizes(const Affine& a) {
  return {columnLength(a, 0), columnLength(a, 1), columnLength(a, 2)};
}

bool samePlacement(const Affine& a, const Affine& b) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) {
      const double difference = a.m[r][c] - b.m[r][c];
      if (!(difference <= kSamePlacementToleranceMm && difference >= -kSamePlacementToleranceMm)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace tolvane::formats
