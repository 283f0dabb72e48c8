// Uniform and Gaussian random numbers.
//
// ran1: Park-Miller minimal standard generator (multiplier 16807, modulus 2^31 - 1,
// Schrage's method) behind a 32-slot Bays-Durham shuffle table. Returns uniform
// deviates in the open interval (0, 1).
// gasdev: standard normal deviates from pairs of ran1 uniforms by the polar form of
// the Box-Muller method; the second deviate of a pair is kept for the next call.
//
// The caller owns the seed: a signed 32-bit variable passed by pointer to every call.
// Set it to a value <= 0 before the first draw; that restarts the uniform sequence at
// the next call that draws uniforms (2^31 - 1, which no draw produces, does the same).
// Afterwards it holds the newest generator value, always in 1 .. 2^31 - 2; leave it
// alone to continue the sequence.
//
// The shuffle table and the pending deviate are process-wide and unsynchronised: one
// caller at a time. The same seed gives the same sequence to the last bit.
#pragma once

float ran1(int* seed);
float gasdev(int* seed);
