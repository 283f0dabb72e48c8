// What storing a run as int16 takes: the span of its values, which chooses the scale
// (int16_scale.h), and the values quantised under that scale, a piece of a time course
// at a time, as the file's writer gathers them into the order a NIfTI file holds them
// (formats::Int16Quantisation), so that no int16 copy of the run is ever held.
//
// Both run on the widest vectors the processor has (AVX-512, else AVX2 for the
// quantisation, else a portable SSE2 path); the span is split over the given threads.
// Every path and every split gives the same results, and the same as the definitions
// below evaluated one value at a time: the files written from them do not depend on the
// machine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/nifti/nifti_io.h"
#include "numerics/vector_path.h"
#include "tolvane/simulate/int16_scale.h"

namespace tolvane::simulate {

// The least and the greatest value, as std::minmax_element finds them (for values of
// equal size, the first least and the last greatest; a NaN compares with nothing).
ValueSpan valueSpan(const float* values, std::size_t count, unsigned threads = 1,
                    cpu::VectorPath path = cpu::preferredVectorPath());

// Values quantised under `scale` (formats::Int16Scale: q = round((value - inter) /
// slope), evaluated in double, halves away from zero).
class Int16Quantiser {
 public:
  explicit Int16Quantiser(const formats::Int16Scale& scale,
                          cpu::VectorPath path = cpu::preferredVectorPath());

  // values[0, count) quantised into out[0, count). Throws std::logic_error when a value
  // does not fit the int16 range under the scale (the scale is chosen from the values'
  // span, so this means the span was not theirs).
  void operator()(const float* values, std::size_t count, std::int16_t* out) const;

 private:
  double inter_;
  double by_;    // the slope, or its inverse when that is exact
  bool divide_;  // by the slope, rather than multiplied by its exact inverse
  cpu::VectorPath path_;
};

}  // namespace tolvane::simulate
