// Offset-indexed arrays and the fatal error exit; conventions in arrays.h.
#include "numerics/arrays.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Element counts are products of range lengths. A product that does not fit, like a
// block the heap cannot give, is an allocation failure: a wrapped count would hand
// out a block far smaller than the caller indexes.
long blockCount(long a, long b, const char* failureMessage) {
  long product = 0;
  if (__builtin_mul_overflow(a, b, &product)) vcerror(failureMessage);
  return product;
}

// One heap block of count elements of T, or the fatal exit with the given message.
template <typename T>
T* allocateBlock(long count, const char* failureMessage) {
  std::size_t bytes = 0;
  if (count < 0 || __builtin_mul_overflow(static_cast<std::size_t>(count), sizeof(T), &bytes))
    vcerror(failureMessage);
  T* block = static_cast<T*>(std::malloc(bytes));
  if (block == nullptr) vcerror(failureMessage);
  return block;
}

// An empty range (high = low - 1) still needs the pointer slot that the allocators
// set and the release routines read: m[row_low] of a matrix, t[row_low][col_low] of
// a tensor. Pointer blocks therefore hold at least one entry; an empty element block
// stays empty, so any element access is still outside every block.
long pointerSlots(long count) { return count == 0 ? 1 : count; }

template <typename T>
T* offsetVector(long low, long high, const char* failureMessage) {
  return allocateBlock<T>(high - low + 1, failureMessage) - low;
}

template <typename T>
void releaseVector(T* v, long low) {
  std::free(v + low);
}

template <typename T>
T** offsetMatrix(long row_low, long row_high, long col_low, long col_high) {
  const long nrow = row_high - row_low + 1;
  const long ncol = col_high - col_low + 1;
  T** m = allocateBlock<T*>(pointerSlots(nrow), "allocation failure 1 in matrix()") - row_low;
  const char* const elementFailure = "allocation failure 2 in matrix()";
  m[row_low] = allocateBlock<T>(blockCount(nrow, ncol, elementFailure), elementFailure) - col_low;
  for (long i = row_low + 1; i <= row_high; ++i) m[i] = m[i - 1] + ncol;
  return m;
}

template <typename T>
void releaseMatrix(T** m, long row_low, long col_low) {
  std::free(m[row_low] + col_low);
  std::free(m + row_low);
}

template <typename T>
T*** offsetTensor(long row_low, long row_high, long col_low, long col_high, long depth_low,
                  long depth_high, const char* const failureMessages[3]) {
  const long nrow = row_high - row_low + 1;
  const long ncol = col_high - col_low + 1;
  const long ndep = depth_high - depth_low + 1;
  T*** t = allocateBlock<T**>(pointerSlots(nrow), failureMessages[0]) - row_low;
  const long pointerCount = blockCount(nrow, ncol, failureMessages[1]);
  t[row_low] = allocateBlock<T*>(pointerSlots(pointerCount), failureMessages[1]) - col_low;
  const long elementCount = blockCount(pointerCount, ndep, failureMessages[2]);
  t[row_low][col_low] = allocateBlock<T>(elementCount, failureMessages[2]) - depth_low;
  // Without rows there is no row row_low whose column pointers could be set.
  if (nrow > 0) {
    for (long j = col_low + 1; j <= col_high; ++j) t[row_low][j] = t[row_low][j - 1] + ndep;
  }
  for (long i = row_low + 1; i <= row_high; ++i) {
    t[i] = t[i - 1] + ncol;
    t[i][col_low] = t[i - 1][col_low] + ncol * ndep;
    for (long j = col_low + 1; j <= col_high; ++j) t[i][j] = t[i][j - 1] + ndep;
  }
  return t;
}

template <typename T>
void releaseTensor(T*** t, long row_low, long col_low, long depth_low) {
  std::free(t[row_low][col_low] + depth_low);
  std::free(t[row_low] + col_low);
  std::free(t + row_low);
}

}  // namespace

void vcerror(const char* message) {
  std::fprintf(stderr, "Vellicor run-time error...\n");
  std::fprintf(stderr, "%s\n", message);
  std::fprintf(stderr, "...now exiting to system...\n");
  std::exit(1);
}

float* vector(long low, long high) {
  return offsetVector<float>(low, high, "allocation failure in vector()");
}
int* ivector(long low, long high) {
  return offsetVector<int>(low, high, "allocation failure in ivector()");
}
unsigned long* lvector(long low, long high) {
  return offsetVector<unsigned long>(low, high, "allocation failure in lvector()");
}
unsigned char* cvector(long low, long high) {
  return offsetVector<unsigned char>(low, high, "allocation failure in cvector()");
}
double* dvector(long low, long high) {
  return offsetVector<double>(low, high, "allocation failure in dvector()");
}

// imatrix and dmatrix report their failures with matrix()'s texts.
float** matrix(long row_low, long row_high, long col_low, long col_high) {
  return offsetMatrix<float>(row_low, row_high, col_low, col_high);
}
int** imatrix(long row_low, long row_high, long col_low, long col_high) {
  return offsetMatrix<int>(row_low, row_high, col_low, col_high);
}
double** dmatrix(long row_low, long row_high, long col_low, long col_high) {
  return offsetMatrix<double>(row_low, row_high, col_low, col_high);
}

float** submatrix(float** source, long old_row_low, long old_row_high, long old_col_low,
                  long /*old_col_high*/, long new_row_low, long new_col_low) {
  const long nrow = old_row_high - old_row_low + 1;
  const long column_shift = old_col_low - new_col_low;
  float** view = allocateBlock<float*>(nrow, "allocation failure in submatrix()") - new_row_low;
  for (long a = 0; a < nrow; ++a) view[new_row_low + a] = source[old_row_low + a] + column_shift;
  return view;
}

float** convert_matrix(float* block, long row_low, long row_high, long col_low, long col_high) {
  const long nrow = row_high - row_low + 1;
  const long ncol = col_high - col_low + 1;
  float** view =
      allocateBlock<float*>(pointerSlots(nrow), "allocation failure in convert_matrix()") - row_low;
  view[row_low] = block - col_low;
  for (long i = row_low + 1; i <= row_high; ++i) view[i] = view[i - 1] + ncol;
  return view;
}

float*** f3tensor(long row_low, long row_high, long col_low, long col_high, long depth_low,
                  long depth_high) {
  static const char* const messages[3] = {"allocation failure 1 in f3tensor()",
                                          "allocation failure 2 in f3tensor()",
                                          "allocation failure 3 in f3tensor()"};
  return offsetTensor<float>(row_low, row_high, col_low, col_high, depth_low, depth_high, messages);
}

unsigned char*** c3tensor(long row_low, long row_high, long col_low, long col_high, long depth_low,
                          long depth_high) {
  static const char* const messages[3] = {"allocation failure 1 in c3tensor()",
                                          "allocation failure 2 in c3tensor()",
                                          "allocation failure 3 in c3tensor()"};
  return offsetTensor<unsigned char>(row_low, row_high, col_low, col_high, depth_low, depth_high,
                                     messages);
}

void free_vector(float* v, long low, long) { releaseVector(v, low); }
void free_ivector(int* v, long low, long) { releaseVector(v, low); }
void free_lvector(unsigned long* v, long low, long) { releaseVector(v, low); }
void free_cvector(unsigned char* v, long low, long) { releaseVector(v, low); }
void free_dvector(double* v, long low, long) { releaseVector(v, low); }

void free_matrix(float** m, long row_low, long, long col_low, long) {
  releaseMatrix(m, row_low, col_low);
}
void free_imatrix(int** m, long row_low, long, long col_low, long) {
  releaseMatrix(m, row_low, col_low);
}
void free_dmatrix(double** m, long row_low, long, long col_low, long) {
  releaseMatrix(m, row_low, col_low);
}

void free_submatrix(float** m, long row_low, long, long, long) { std::free(m + row_low); }
void free_convert_matrix(float** m, long row_low, long, long, long) { std::free(m + row_low); }

void free_f3tensor(float*** t, long row_low, long, long col_low, long, long depth_low, long) {
  releaseTensor(t, row_low, col_low, depth_low);
}
void free_c3tensor(unsigned char*** t, long row_low, long, long col_low, long, long depth_low,
                   long) {
  releaseTensor(t, row_low, col_low, depth_low);
}
