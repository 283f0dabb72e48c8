// Library arrays that release themselves. The numerical tests allocate with the
// library's own routines, so that the sanitizers check every index against the real
// bounds, and must release with the same lower bounds; these wrappers do both.
#pragma once

#include <initializer_list>

#include "numerics/arrays.h"

// A rows x cols float matrix from matrix(), indexed from base (1 by default, or 0).
struct OwnedMatrix {
  int rows, cols, base;
  float** m;

  OwnedMatrix(int rowCount, int colCount, int indexBase = 1)
      : rows(rowCount),
        cols(colCount),
        base(indexBase),
        m(matrix(base, base + rows - 1, base, base + cols - 1)) {}
  ~OwnedMatrix() { free_matrix(m, base, base + rows - 1, base, base + cols - 1); }
  OwnedMatrix(const OwnedMatrix&) = delete;
  OwnedMatrix& operator=(const OwnedMatrix&) = delete;

  float* operator[](int i) { return m[i]; }
  // Passed to the routines as the row-pointer array they take.
  operator float**() const { return m; }

  // Row by row from the first index on.
  void set(std::initializer_list<std::initializer_list<float>> values) {
    int i = base;
    for (const auto& row : values) {
      int j = base;
      for (float value : row) m[i][j++] = value;
      ++i;
    }
  }
  void fill(float value) {
    for (int i = base; i < base + rows; ++i)
      for (int j = base; j < base + cols; ++j) m[i][j] = value;
  }
  void copyFrom(OwnedMatrix& other) {
    for (int i = base; i < base + rows; ++i)
      for (int j = base; j < base + cols; ++j) m[i][j] = other[i][j];
  }
};

// One-based, as most routines take them.
struct Matrix1 : OwnedMatrix {
  Matrix1(int rowCount, int colCount) : OwnedMatrix(rowCount, colCount, 1) {}
};

// Zero-based, as the dense matrix utilities take them; square when given one size.
struct Matrix0 : OwnedMatrix {
  explicit Matrix0(int size) : OwnedMatrix(size, size, 0) {}
  Matrix0(int rowCount, int colCount) : OwnedMatrix(rowCount, colCount, 0) {}
};

// A one-based float vector from vector().
struct Vector1 {
  int n;
  float* v;

  explicit Vector1(int size) : n(size), v(vector(1, size)) {}
  ~Vector1() { free_vector(v, 1, n); }
  Vector1(const Vector1&) = delete;
  Vector1& operator=(const Vector1&) = delete;

  float& operator[](int i) { return v[i]; }
  operator float*() const { return v; }  // passed to the routines as the array itself
};

// A one-based int vector from ivector().
struct IntVector1 {
  int n;
  int* v;

  explicit IntVector1(int size) : n(size), v(ivector(1, size)) {}
  ~IntVector1() { free_ivector(v, 1, n); }
  IntVector1(const IntVector1&) = delete;
  IntVector1& operator=(const IntVector1&) = delete;

  int& operator[](int i) { return v[i]; }
  operator int*() const { return v; }  // passed to the routines as the array itself
};
