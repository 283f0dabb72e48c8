// The scale of a run stored as 16-bit integers (study key datatype = "int16").
//
// A value v is stored as q = round((v - inter) / step) and read back as
// step * q + inter (the NIfTI header's scl_slope and scl_inter). Rounding to a step
// leaves an error spread evenly over (-step/2, step/2] when the values vary over many
// steps, which noise does: an error of standard deviation step / sqrt(12). The rule:
//
//   - the step may be at most 2% x sqrt(12) x s, where s is the run's smallest temporal
//     noise sd, so that the rounding error's sd is at most 2% of the noise's anywhere;
//   - the step is the largest power of two within that bound (the error's sd is then
//     1% to 2% of s, and step * q + inter is exact in double); only when the values do
//     not fit 65536 such steps is the bound itself taken as the step;
//   - inter is the multiple of the step nearest the middle of the run's values, so that
//     the values sit around q = 0 and every value fits -32768 ... 32767;
//   - when not even the largest step fits every value, or the run has no noise
//     (s = 0), no scale satisfies both and the run is refused.
//
// A coarse step is what makes int16 worth having: the rounded noise compresses to about
// a third of the float32 file, while an error of at most 2% of the noise's sd adds at
// most 0.02% to its variance.
#pragma once

#include <string>

#include "formats/nifti/nifti_io.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

// The rounding error's sd may be at most this fraction of the smallest noise sd.
constexpr double kMaxRoundingErrorFraction = 0.02;

// The smallest temporal standard deviation of a run's noise over its voxels, from the
// study's noise settings: noise.sd, which smoothing and AR(1) keep as the marginal sd
// of every voxel. The drift is left out: it only adds variance, and a high-pass filter
// takes it out again before an analysis, so the rounding is held small against the
// noise that stays. With per-voxel levels (study/scanner_noise.h) it is the least
// sqrt(f^2 + p^2 + s^2) over the voxels that have noise (a voxel without any has nothing
// for the rounding to be small against), times sqrt((4 - pi) / 2) for a magnitude image,
// whose Rayleigh background has that sd.
double smallestTemporalNoiseSd(const study::Study& study);

// The least and greatest of a run's values (found by int16_quantisation.h).
struct ValueSpan {
  float least = 0.0f;
  float greatest = 0.0f;
};

// The scale of the rule above for values within `span`, against noise of smallest sd
// `noiseSd`. Throws InputError, naming `run` and the figures, when there is none.
formats::Int16Scale int16Scale(const ValueSpan& span, double noiseSd, const std::string& run);

}  // namespace tolvane::simulate
