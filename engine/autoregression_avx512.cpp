// The AR(1) recursion sixteen voxels at a time, one per lane. The time courses lie one
// after another in memory, so a 16 x 16 tile (16 voxels, 16 time points) is loaded a
// row per voxel and transposed in registers: vector k then holds time point t0 + k of
// all sixteen voxels, and the recursion steps from vector to vector. The tile is
// transposed back and stored. Each lane does the scalar path's operations in its order,
// as separate IEEE multiplies and adds, so the values are the same to the last bit.
#include "engine/autoregression_avx512.h"

#include "numerics/vector_path.h"

namespace tolvane::engine {
namespace {

constexpr int kLanes = 16;

// rows[i] <- column i of the 16 x 16 matrix whose row j is rows[j].
TOLVANE_TARGET_AVX512 inline void transpose(__m512 (&rows)[kLanes]) {
  __m512 t[kLanes];
  // Pairs of rows interleaved: within each 128-bit quarter q, t[2i] holds
  // rows 2i and 2i + 1 at columns 4q and 4q + 1, t[2i + 1] at 4q + 2 and 4q + 3.
  for (int i = 0; i < kLanes / 2; ++i) {
    t[2 * i] = _mm512_unpacklo_ps(rows[2 * i], rows[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_ps(rows[2 * i], rows[2 * i + 1]);
  }
  // Quadruples: rows[4i + j] holds rows 4i .. 4i + 3 at column 4q + j of quarter q.
  for (int i = 0; i < kLanes / 4; ++i) {
    const __m512d a = _mm512_castps_pd(t[4 * i]), b = _mm512_castps_pd(t[4 * i + 2]);
    const __m512d c = _mm512_castps_pd(t[4 * i + 1]), d = _mm512_castps_pd(t[4 * i + 3]);
    rows[4 * i] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, b));
    rows[4 * i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, b));
    rows[4 * i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(c, d));
    rows[4 * i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(c, d));
  }
  // Quarters: for column 4q + j, gather quarter q of rows[j], rows[4 + j], rows[8 + j]
  // and rows[12 + j], in two steps of 128-bit shuffles.
  for (int j = 0; j < 4; ++j) {
    t[j] = _mm512_shuffle_f32x4(rows[j], rows[4 + j], 0x88);           // q 0, 2 | 0, 2
    t[4 + j] = _mm512_shuffle_f32x4(rows[j], rows[4 + j], 0xdd);       // q 1, 3 | 1, 3
    t[8 + j] = _mm512_shuffle_f32x4(rows[8 + j], rows[12 + j], 0x88);  // q 0, 2 | 0, 2
    t[12 + j] = _mm512_shuffle_f32x4(rows[8 + j], rows[12 + j], 0xdd);
  }
  for (int j = 0; j < 4; ++j) {
    rows[j] = _mm512_shuffle_f32x4(t[j], t[8 + j], 0x88);            // q 0
    rows[8 + j] = _mm512_shuffle_f32x4(t[j], t[8 + j], 0xdd);        // q 2
    rows[4 + j] = _mm512_shuffle_f32x4(t[4 + j], t[12 + j], 0x88);   // q 1
    rows[12 + j] = _mm512_shuffle_f32x4(t[4 + j], t[12 + j], 0xdd);  // q 3
  }
}

}  // namespace

TOLVANE_TARGET_AVX512
std::int64_t autoregressAndScaleAvx512(float* data, std::int64_t voxels, int timePoints, float rho,
                                       float innovation, const Levels& levels) {
  const __m512 rhoV = _mm512_set1_ps(rho), innovationV = _mm512_set1_ps(innovation);
  const __m512 amplitude = _mm512_set1_ps(levels.noiseAmplitude);
  const __m512 baseline = _mm512_set1_ps(levels.baseline);
  const std::int64_t groups = voxels / kLanes;
  for (std::int64_t g = 0; g < groups; ++g) {
    float* const first = data + g * kLanes * timePoints;
    __m512 previous = _mm512_setzero_ps();
    for (int t0 = 0; t0 < timePoints; t0 += kLanes) {
      const int width = timePoints - t0 < kLanes ? timePoints - t0 : kLanes;
      const auto mask = static_cast<__mmask16>((1u << width) - 1u);
      __m512 tile[kLanes];
      for (int j = 0; j < kLanes; ++j)
        tile[j] = _mm512_maskz_loadu_ps(mask, first + j * timePoints + t0);
      transpose(tile);
      int k = 0;
      if (t0 == 0) {  // e_0 = z_0
        previous = tile[0];
        tile[0] = _mm512_add_ps(_mm512_mul_ps(amplitude, previous), baseline);
        k = 1;
      }
      for (; k < width; ++k) {
        previous =
            _mm512_add_ps(_mm512_mul_ps(rhoV, previous), _mm512_mul_ps(innovationV, tile[k]));
        tile[k] = _mm512_add_ps(_mm512_mul_ps(amplitude, previous), baseline);
      }
      transpose(tile);
      for (int j = 0; j < kLanes; ++j)
        _mm512_mask_storeu_ps(first + j * timePoints + t0, mask, tile[j]);
    }
  }
  return groups * kLanes;
}

TOLVANE_TARGET_AVX512
void transposeIntoLanesAvx512(const float* courses, int timePoints, float* tile) {
  for (int t0 = 0; t0 < timePoints; t0 += kLanes) {
    const int width = timePoints - t0 < kLanes ? timePoints - t0 : kLanes;
    const auto mask = static_cast<__mmask16>((1u << width) - 1u);
    __m512 rows[kLanes];
    for (int j = 0; j < kLanes; ++j)
      rows[j] = _mm512_maskz_loadu_ps(mask, courses + static_cast<std::ptrdiff_t>(j) * timePoints + t0);
    transpose(rows);
    for (int k = 0; k < width; ++k) _mm512_storeu_ps(tile + (t0 + k) * kLanes, rows[k]);
  }
}

TOLVANE_TARGET_AVX512
void transposeOutOfLanesAvx512(const float* tile, int timePoints, const Levels& levels,
                               float* courses) {
  const __m512 amplitude = _mm512_set1_ps(levels.noiseAmplitude);
  const __m512 baseline = _mm512_set1_ps(levels.baseline);
  for (int t0 = 0; t0 < timePoints; t0 += kLanes) {
    const int width = timePoints - t0 < kLanes ? timePoints - t0 : kLanes;
    const auto mask = static_cast<__mmask16>((1u << width) - 1u);
    __m512 rows[kLanes];
    for (int k = 0; k < kLanes; ++k) {
      rows[k] = k < width ? _mm512_add_ps(_mm512_mul_ps(amplitude,
                                                        _mm512_loadu_ps(tile + (t0 + k) * kLanes)),
                                          baseline)
                          : _mm512_setzero_ps();
    }
    transpose(rows);
    for (int j = 0; j < kLanes; ++j)
      _mm512_mask_storeu_ps(courses + static_cast<std::ptrdiff_t>(j) * timePoints + t0, mask,
                            rows[j]);
  }
}

}  // namespace tolvane::engine
