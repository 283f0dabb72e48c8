// Sorting and selection over one-based float (and unsigned 16-bit) arrays.
//
// Conventions: arrays are one-based; a routine given n works on values[1..n] and never
// touches values[0]. Counts and indices are unsigned long. sort, sort2 and hpsort
// accept any n (n = 0 returns at once); the selections need 1 <= k <= n and end the
// process through vcerror otherwise ("select: k = 4 is outside 1..n = 3"), before
// reading the array. NaN keys are moved like any others and never make a routine read
// outside values[1..n]; where they end up is unspecified, and the other keys are then
// not necessarily in order.
//
// Partitioning (sort, sort2, select, select_ushort) uses the median of the first,
// middle and last element as pivot; subarrays of at most 7 elements are finished by
// straight insertion, which never passes an equal key. The exact sequence of moves is
// part of the contract: it decides where equal keys and their companions land.
#pragma once

// Quicksort of values[1..n] into ascending order, with a work stack of NSTACK = 60
// entries (ivector). A 31st waiting subarray ends the process through vcerror with
// "NSTACK too small in sort.". The shorter part is always sorted next, so that needs
// at least 9 * 2^30 - 1 elements (all equal). n = 0 returns at once.
void sort(unsigned long n, float* values);

// As sort, with NSTACK = 50 ("NSTACK too small in sort2.", from 9 * 2^25 - 1 equal
// keys on), and every move made to keys[1..n] made at the same positions in
// companion[1..n].
void sort2(unsigned long n, float* keys, float* companion);

// Heapsort of values[1..n] into ascending order; returns at once for n < 2.
void hpsort(unsigned long n, float* values);

// Returns the k-th smallest of values[1..n] (k = 1 the smallest) and rearranges the
// array so that values[k] is that value, values[1..k-1] are <= it and values[k+1..n]
// are >= it.
float select(unsigned long k, unsigned long n, float* values);

// select on unsigned 16-bit values with unsigned comparisons.
unsigned short select_ushort(unsigned long k, unsigned long n, unsigned short* values);
