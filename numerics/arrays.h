// Offset-indexed arrays and the library's fatal error exit.
//
// Conventions shared by the whole numerical library:
//  * A vector from vector(low, high) is a pointer v whose elements v[low..high] are
//    valid: one heap block of exactly high - low + 1 elements, addressed through a
//    pointer offset by -low. Most routines use low = 1.
//  * A matrix from matrix(rl, rh, cl, ch) is an offset array of row pointers over one
//    contiguous, row-major element block: m[i] = m[i - 1] + ncol, so the whole matrix
//    starts at &m[rl][cl].
//  * Views (submatrix, convert_matrix) own only their row pointers; the elements
//    belong to someone else.
//  * Three-index arrays from f3tensor/c3tensor hold three blocks (row pointers,
//    column pointers, elements); the elements are contiguous in row, column, depth
//    order.
//  * Release a block with the matching free_ routine, passing the same lower bounds
//    (upper bounds are accepted and ignored). Elements are never initialised.
//  * An allocation that fails, and every condition a library routine cannot recover
//    from, ends the process through vcerror with exit status 1.
//
// Bounds are signed long: negative and zero lower bounds are allowed. An empty range
// (high = low - 1) gives an array without elements that is released like any other;
// a range below that, or element counts whose product or size in bytes overflows, is
// an allocation failure (vcerror with the block's message). Indexing within the
// bounds is the caller's duty.
#pragma once

// Writes "Vellicor run-time error...", the message and "...now exiting to system..."
// to standard error, then exits with status 1 (streams flushed, exit handlers run).
[[noreturn]] void vcerror(const char* message);

float* vector(long low, long high);
int* ivector(long low, long high);
unsigned long* lvector(long low, long high);
unsigned char* cvector(long low, long high);
double* dvector(long low, long high);

float** matrix(long row_low, long row_high, long col_low, long col_high);
int** imatrix(long row_low, long row_high, long col_low, long col_high);
double** dmatrix(long row_low, long row_high, long col_low, long col_high);

// Rows old_row_low..old_row_high of source, starting at column old_col_low,
// re-indexed to start at [new_row_low][new_col_low]. old_col_high is not used: the
// view's columns are unbounded. Writes through the view write into source.
float** submatrix(float** source, long old_row_low, long old_row_high, long old_col_low,
                  long old_col_high, long new_row_low, long new_col_low);

// Row pointers over a caller-owned row-major block of nrow x ncol floats.
float** convert_matrix(float* block, long row_low, long row_high, long col_low, long col_high);

float*** f3tensor(long row_low, long row_high, long col_low, long col_high, long depth_low,
                  long depth_high);
unsigned char*** c3tensor(long row_low, long row_high, long col_low, long col_high, long depth_low,
                          long depth_high);

void free_vector(float* v, long low, long high);
void free_ivector(int* v, long low, long high);
void free_lvector(unsigned long* v, long low, long high);
void free_cvector(unsigned char* v, long low, long high);
void free_dvector(double* v, long low, long high);

void free_matrix(float** m, long row_low, long row_high, long col_low, long col_high);
void free_imatrix(int** m, long row_low, long row_high, long col_low, long col_high);
void free_dmatrix(double** m, long row_low, long row_high, long col_low, long col_high);

// Views release their row-pointer block only.
void free_submatrix(float** m, long row_low, long row_high, long col_low, long col_high);
void free_convert_matrix(float** m, long row_low, long row_high, long col_low, long col_high);

void free_f3tensor(float*** t, long row_low, long row_high, long col_low, long col_high,
                   long depth_low, long depth_high);
void free_c3tensor(unsigned char*** t, long row_low, long row_high, long col_low, long col_high,
                   long depth_low, long depth_high);
