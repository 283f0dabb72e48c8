// The two passes over a run's values that storing it as int16 takes: the span of the
// values, which chooses the scale (int16_scale.h), and the values quantised under that
// scale into the order a NIfTI file holds them.
//
// Both run on the widest vectors the processor has (AVX-512, else AVX2 for the
// quantisation, else a portable SSE2 path), split over the given threads. Every path
// and every split gives the same results, and the same as the definitions below
// evaluated one value at a time: the files written from them do not depend on the
// machine.
//
// A run's values are in the VTC's layout, each voxel's time course contiguous:
// values[v * timePoints + t]. The volumes are in NIfTI order, each volume contiguous:
// volumes[t * voxels + v].
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/geometry.h"
#include "formats/nifti/nifti_io.h"
#include "numerics/vector_path.h"
#include "tolvane/simulate/int16_scale.h"

namespace tolvane::simulate {

// The least and the greatest value, as std::minmax_element finds them (for values of
// equal size, the first least and the last greatest; a NaN compares with nothing).
ValueSpan valueSpan(const float* values, std::size_t count, unsigned threads = 1,
                    cpu::VectorPath path = cpu::preferredVectorPath());

// The run's values quantised under `scale` (formats::Int16Scale: q = round((value -
// inter) / slope), evaluated in double, halves away from zero) into `volumes`, in NIfTI
// order, as many as the run has values. Throws std::logic_error when a value does not
// fit the int16 range under the scale (the scale is chosen from the values' span, so
// this means the span was not theirs).
void quantiseVolumes(const formats::VtcGeometry& grid, const float* values,
                     const formats::Int16Scale& scale, std::int16_t* volumes, unsigned threads = 1,
                     cpu::VectorPath path = cpu::preferredVectorPath());

}  // namespace tolvane::simulate
