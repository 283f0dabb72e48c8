// The counter-based noise field: one standard normal deviate for every (study seed,
// run, voxel, time point), computed from those four numbers alone.
//
// Deviates come from Philox4x32-10. The key is (seed, run); the counter is
// (t / 4, voxel bits 0-31, voxel bits 32-63, stream), where voxel is the grid voxel's
// index ((z * dimY + y) * dimX + x) and stream is 0 for the noise field; other streams
// give other, independent fields of the same run: the coefficients of the voxels'
// drifts (as if they were time points 0, 1, ...), the two channels of thermal noise, the
// physiological noise's random numbers, the ARMA start's extra deviate, and the seeds
// of the mixed autocorrelation's spectrum (lane streams, below). One counter
// gives four 32-bit words w0..w3, which become the deviates of time points
// 4 * (t / 4) + 0..3 by the Box-Muller transform: (w0, w1) -> (r cos a, r sin a) and
// (w2, w3) likewise, with
//   u = ((w0 >> 9) + 1/2) / 2^23    (exactly representable, 2^-24 <= u < 1)
//   r = sqrt(-2 ln u),   a = 2 pi (w1 >> 8) / 2^24.
// Because nothing depends on the order of evaluation, any subset of a field can be
// computed alone (one run, one voxel) and the result is the same for any number of
// threads. The largest magnitude is sqrt(-2 ln 2^-24) = 5.77.
//
// Every step is an IEEE single-precision operation in a fixed order, with no library
// function: the logarithm, sine and cosine are polynomials (after exact argument
// reduction) evaluated here, and the square root is the correctly rounded IEEE one.
// With contraction into fused multiply-add disabled (the project's build flags), the
// field is therefore the same to the last bit on every build of this code, whatever
// the compiler, its vectorisation, or the C library. The polynomials are accurate to
// a few units in the last place; the deviates are not those of any other generator.
//
// Values are written as (s * g) + b, the grouping of the plug-in's noise pass.
// Part of the study engine (the research program's library), built on the module's
// grid view and levels; nothing here is exported from the module.
#pragma once

#include <cstdint>

#include "numerics/vector_path.h"
#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The engine fills the module's grid view with the module's levels.
using simulation::Levels;
using simulation::VtcGrid;

constexpr std::uint32_t kNoiseStream = 0;
constexpr std::uint32_t kDriftStream = 1;
// Streams of the study's own draws (tolvane/study/study_random.h), not fields: the
// generated designs of runs, and the subjects' and runs' effects and region offsets.
constexpr std::uint32_t kDesignStream = 2;
constexpr std::uint32_t kSubjectStream = 3;
constexpr std::uint32_t kThermalStream = 4;    // thermal noise, the real channel
constexpr std::uint32_t kImaginaryStream = 5;  // thermal noise, the imaginary channel
constexpr std::uint32_t kPhysioStream = 6;     // voxel 0: the run's physiological phases
constexpr std::uint32_t kArmaStartStream = 7;  // time point 0: a voxel's ARMA start deviate
constexpr std::uint32_t kSpectrumStream = 8;   // the seeds of the mixed field's spectrum
// Networks and patterns (tolvane/study/networks.h, patterns.h): a run's node courses,
// a subject's correlations, a subject's voxel patterns.
constexpr std::uint32_t kNetworkStream = 64;
constexpr std::uint32_t kNetworkSubjectStream = 65;
constexpr std::uint32_t kPatternStream = 66;
// A study draw, not a field: each run's head motion (tolvane/study/head_motion.h).
constexpr std::uint32_t kMotionStream = 9;

// The key of a run's field.
struct FieldKey {
  std::uint32_t seed;
  std::uint32_t run;
  std::uint32_t stream = kNoiseStream;
};

constexpr int kDeviatesPerCounter = 4;

// Levels that leave the deviates as they are: (1 * g) + 0 is g exactly.
constexpr Levels kStandardNormal{0.0f, 1.0f};

// Every vector path (one that cpu::availableVectorPaths() lists) gives the same bits;
// the widest one here is the default.

// The deviates of time points firstTime .. firstTime + count - 1 of one voxel.
void fieldDeviates(const FieldKey& key, std::int64_t voxel, int firstTime, int count,
                   float* deviates, cpu::VectorPath path = cpu::preferredVectorPath());

constexpr int kVoxelsByLane = 32;

// One counter's deviates of `count` (1 .. kVoxelsByLane) successive voxels, by lane:
// deviates[i * kVoxelsByLane + j] is time point 4 * timeBlock + i (i = 0 .. 3) of voxel
// firstVoxel + j, the value fieldDeviates gives; lanes j >= count are set to +0. The
// drifts draw their coefficients so, for voxels side by side.
void voxelDeviatesByLane(const FieldKey& key, std::int64_t firstVoxel, int count,
                         std::uint32_t timeBlock, float* deviates,
                         cpu::VectorPath path = cpu::preferredVectorPath());

// Lane streams: where the deviates need not be addressable one by one, as with the mixed
// field's spectrum and the thermal noise, which are drawn whole, sixteen streams of xoshiro128+ (one per lane)
// give the words at a quarter of a counter's cost, and the words go through the same
// Box-Muller transform as the counter field's. Stream l of (key, time block b, lane
// block c) starts from the state (s0, s1, s2, s3) = the four words of the counter
// (b, c, l, key.stream) under key (seed, run) (a state of four zero words, the one the
// generator cannot leave, would start with s0 = 1 instead); each step returns s0 + s3
// and then advances the state:
//   t = s1 << 9; s2 ^= s0; s3 ^= s1; s1 ^= s2; s0 ^= s3; s2 ^= t; s3 = rotl(s3, 11).
// Only a word's upper 24 bits are used (above, u and a), away from the weak lowest bits
// of this generator's sums. Seeds from the counter field make the streams of different
// blocks, runs and seeds independent in practice: 2^128 - 1 states, a few tens of
// thousands of words drawn from each.
struct LaneStreams {
  alignas(64) std::uint32_t state[4][16];
};

LaneStreams laneStreamsOf(const FieldKey& key, std::uint32_t timeBlock, std::uint32_t laneBlock);

// `rows` rows of pairs from the streams: for each row r, stream l's next four words
// w0 .. w3 become d0 .. d3 as a counter's do, and with s = scale[16 r + l] the row's
// lane block in `first` (from r * pitch floats on) holds s d0 in lane l of its real
// half and s d1 of its imaginary half, in `second` s d2 and s d3, each one IEEE
// product. Lanes l >= `lanes` are set to +0 (their streams advance all the same).
void scaledStreamPairs(LaneStreams& streams, int rows, int lanes, const float* scale,
                       std::size_t pitch, float* first, float* second,
                       cpu::VectorPath path = cpu::preferredVectorPath());

// Gives voxels [firstVoxel, endVoxel) of the grid their noise around the baseline;
// disjoint ranges can be filled concurrently.
void fillCounterNoise(const VtcGrid& grid, const Levels& levels, const FieldKey& key,
                      std::int64_t firstVoxel, std::int64_t endVoxel,
                      cpu::VectorPath path = cpu::preferredVectorPath());

// Voxel streams: a voxel's whole course of deviates from sixteen lane streams, for the
// thermal channels, which never need one time point alone. Stream l of (key, voxel v)
// starts from the words of the counter (l, v bits 0-31, v bits 32-63, key.stream), with
// the zero state's exception above. Its k-th pair of words (w_r, w_a) gives
// (r cos a, r sin a) as a counter's (w0, w1) does, the deviates of time points 32k + l
// and 32k + 16 + l: each step of the sixteen streams makes 32 successive time points.
void voxelStreamDeviates(const FieldKey& key, std::int64_t voxel, int timePoints,
                         float* deviates, cpu::VectorPath path = cpu::preferredVectorPath());

// course[t] <- course[t] + (scale * g(t)) for t = 0 .. timePoints - 1, g voxel `voxel`'s
// stream deviates of `key`: the deviates added to a time course (thermal noise).
void addStreamNoise(float* course, std::int64_t voxel, int timePoints, float scale,
                    const FieldKey& key, cpu::VectorPath path = cpu::preferredVectorPath());

// course[t] <- sqrt((course[t] * course[t]) + ((scale * g(t)) * (scale * g(t)))), likewise:
// the magnitude of course + i scale g.
void magnitudeWithStreamNoise(float* course, std::int64_t voxel, int timePoints, float scale,
                              const FieldKey& key,
                              cpu::VectorPath path = cpu::preferredVectorPath());

// The transforms on their own, for tests: ln u for 2^-24 <= u < 1 of the form above,
// and (cos, sin) of 2 pi k / 2^24 for 0 <= k < 2^24.
float fieldLog(float u);
void fieldCosSin(std::uint32_t k, float* cosine, float* sine);

}  // namespace tolvane::engine

#pragma GCC visibility pop
