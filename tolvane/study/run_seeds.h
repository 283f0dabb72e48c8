// Where each run of a study draws its noise from.
//
// Runs are numbered in the study by their place k = (subject - 1) * runs + (run - 1),
// from 0. With the philox generator, run k's field is keyed by (study seed, k): every
// run is an independent stream, and any run can be regenerated alone from those two
// numbers. With ran1 there is a single cycle of 2^31 - 2 values; run k starts from
//   seed_k = seed * 16807^(k * 2^26) mod (2^31 - 1),
// the generator value 2^26 steps along the cycle per run, so run 0 is the plug-in's
// stream for the study seed, and runs do not overlap while each draws fewer than 2^26
// uniforms and the study has at most 32 runs. ran1 is for reproducing the plug-in;
// studies of many runs should use philox.
#pragma once

#include <cstdint>

namespace tolvane::study {

constexpr int kRan1RunSpacingLog2 = 26;
constexpr std::int64_t kRan1RunSpacing = std::int64_t{1} << kRan1RunSpacingLog2;

int runPlace(int subject, int run, int runsPerSubject);  // subject and run from 1

// The ran1 seed of run k, in 1 .. 2^31 - 2.
std::int32_t ran1RunSeed(std::uint32_t studySeed, int runPlace);

}  // namespace tolvane::study
