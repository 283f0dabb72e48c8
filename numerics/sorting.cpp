// Sorting and selection; conventions in sorting.h.
//
// sort, sort2, select and select_ushort share one partitioning step (median of three,
// strict comparisons so that equal values stop both scans). sort2 carries a companion
// array through exactly the same moves; the element types and the companion are
// template parameters of the internal helpers, so there is one copy of each sequence
// of moves.
#include "numerics/sorting.h"

#include <utility>

#include "numerics/argument_checks.h"
#include "numerics/arrays.h"

namespace {

// Subarrays with upper minus lower bound at most this are finished by insertion.
constexpr unsigned long kInsertionLimit = 6;
constexpr long kSortStackSize = 60;   // NSTACK of sort
constexpr long kSort2StackSize = 50;  // NSTACK of sort2

// Companion that follows no array: every move on it does nothing.
struct NoCompanion {
  void swap(unsigned long, unsigned long) {}
  float take(unsigned long) { return 0.0f; }
  void put(unsigned long, float) {}
  void move(unsigned long, unsigned long) {}
};

// Companion float array moved alongside the keys.
struct FloatCompanion {
  float* values;
  void swap(unsigned long a, unsigned long b) { std::swap(values[a], values[b]); }
  float take(unsigned long at) { return values[at]; }
  void put(unsigned long at, float value) { values[at] = value; }
  void move(unsigned long to, unsigned long from) { values[to] = values[from]; }
};

struct Partition {
  unsigned long i;  // first index of the part >= pivot
  unsigned long j;  // final place of the pivot
};

// Partitions values[l..r] (r - l >= 2) around the median of values[l], values[(l+r)/2]
// and values[r]. The order of the moves below is part of the result: it decides where
// equal keys and their companions land.
template <typename T, typename Companion>
Partition partition(T* values, Companion& companion, unsigned long l, unsigned long r) {
  const unsigned long m = (l + r) / 2;
  std::swap(values[m], values[l + 1]);
  companion.swap(m, l + 1);
  if (values[l] > values[r]) {
    std::swap(values[l], values[r]);
    companion.swap(l, r);
  }
  if (values[l + 1] > values[r]) {
    std::swap(values[l + 1], values[r]);
    companion.swap(l + 1, r);
  }
  if (values[l] > values[l + 1]) {
    std::swap(values[l], values[l + 1]);
    companion.swap(l, l + 1);
  }
  const T pivot = values[l + 1];
  const float pivotCompanion = companion.take(l + 1);
  unsigned long i = l + 1;
  unsigned long j = r;
  for (;;) {
    do ++i;
    while (values[i] < pivot);
    do --j;
    while (values[j] > pivot);
    if (j < i) break;
    std::swap(values[i], values[j]);
    companion.swap(i, j);
  }
  values[l + 1] = values[j];
  values[j] = pivot;
  companion.move(l + 1, j);
  companion.put(j, pivotCompanion);
  return {i, j};
}

// Straight insertion of values[l..r]; an element equal to the one inserted is not
// passed, so equal keys keep their order.
template <typename Companion>
void insertionSort(float* values, Companion& companion, unsigned long l, unsigned long r) {
  for (unsigned long p = l + 1; p <= r; ++p) {
    const float x = values[p];
    const float xCompanion = companion.take(p);
    unsigned long hole = p;
    while (hole > l && values[hole - 1] > x) {
      values[hole] = values[hole - 1];
      companion.move(hole, hole - 1);
      --hole;
    }
    values[hole] = x;
    companion.put(hole, xCompanion);
  }
}

// The quicksort of sort and sort2: stack of stackSize ints holding (lower, upper)
// pairs; the longer part is pushed and the shorter one sorted next.
template <typename Companion>
void quicksort(unsigned long n, float* values, Companion companion, long stackSize,
               const char* overflowMessage) {
  int* stack = ivector(1, stackSize);
  long counter = 0;
  unsigned long l = 1;
  unsigned long r = n;
  for (;;) {
    if (r - l <= kInsertionLimit) {
      insertionSort(values, companion, l, r);
      if (counter == 0) break;
      r = static_cast<unsigned long>(stack[counter]);
      l = static_cast<unsigned long>(stack[counter - 1]);
      counter -= 2;
    } else {
      const Partition part = partition(values, companion, l, r);
      counter += 2;
      if (counter > stackSize) vcerror(overflowMessage);
      if (r - part.i + 1 >= part.j - l) {
        stack[counter] = static_cast<int>(r);
        stack[counter - 1] = static_cast<int>(part.i);
        r = part.j - 1;
      } else {
        stack[counter] = static_cast<int>(part.j - 1);
        stack[counter - 1] = static_cast<int>(l);
        l = part.i;
      }
    }
  }
  free_ivector(stack, 1, stackSize);
}

// k outside 1..n has no k-th smallest value; the partitioning would narrow onto an
// index outside the array and read there.
template <typename T>
T selectKth(unsigned long k, unsigned long n, T* values, const char* routine) {
  if (k < 1 || k > n) {
    tolvane::numerics::refuseArgument("%s: k = %lu is outside 1..n = %lu", routine, k, n);
  }
  NoCompanion none;
  unsigned long l = 1;
  unsigned long r = n;
  for (;;) {
    if (r <= l + 1) {
      if (r == l + 1 && values[r] < values[l]) std::swap(values[l], values[r]);
      return values[k];
    }
    const Partition part = partition(values, none, l, r);
    if (part.j >= k) r = part.j - 1;
    if (part.j <= k) l = part.i;
  }
}

}  // namespace

void sort(unsigned long n, float* values) {
  // n = 0 would make r - l wrap around and partition outside the array; nothing to do.
  if (n == 0) return;
  quicksort(n, values, NoCompanion{}, kSortStackSize, "NSTACK too small in sort.");
}

void sort2(unsigned long n, float* keys, float* companion) {
  if (n == 0) return;  // as in sort
  quicksort(n, keys, FloatCompanion{companion}, kSort2StackSize, "NSTACK too small in sort2.");
}

void hpsort(unsigned long n, float* values) {
  if (n < 2) return;
  unsigned long l = n / 2 + 1;
  unsigned long r = n;
  for (;;) {
    float x;
    if (l > 1) {
      --l;
      x = values[l];
    } else {
      x = values[r];
      values[r] = values[1];
      --r;
      if (r == 1) {
        values[1] = x;
        return;
      }
    }
    unsigned long i = l;
    unsigned long c = 2 * l;
    while (c <= r) {
      if (c < r && values[c] < values[c + 1]) ++c;
      if (!(x < values[c])) break;
      values[i] = values[c];
      i = c;
      c = 2 * c;
    }
    values[i] = x;
  }
}

float select(unsigned long k, unsigned long n, float* values) {
  return selectKth(k, n, values, "select");
}

unsigned short select_ushort(unsigned long k, unsigned long n, unsigned short* values) {
  return selectKth(k, n, values, "select_ushort");
}
