// noise.spectrum: fluctuation noise of any stationary temporal spectrum.
//
//   [noise]
//   spectrum = { nyquist_hz = 0.25, power = [p_0, ..., p_(P-1)] }
//
// The relative power at P equally spaced frequencies from 0 to the Nyquist frequency
// 1 / (2 TR); only its shape matters, the level being set by noise.sd or noise.tsnr.
// `nyquist_hz` states which TR the spectrum was measured for: a study with another TR is
// refused, since its volumes would sample other frequencies. The engine synthesises it
// exactly (engine/spectral_filter.h). It is a key of the scanner-like noise (it needs
// signal = "add" and generator = "philox") and replaces the AR models: not with noise.ar,
// noise.ma or model = "ar1".
#pragma once

#include <toml++/toml.h>

#include <string>

#include "tolvane/study/study_file.h"

namespace tolvane::study {

class KeyReader;
struct NoiseModels;

inline constexpr std::size_t kMaxSpectrumPoints = 1024;

// Reads noise.spectrum's table; records the keys' lines in `study`.
SpectrumEntry readSpectrum(const KeyReader& reader, const toml::node& node, StudyFile& study);

// Checks the values and how they combine with the study's other keys; fills `noise`.
void checkSpectrum(const StudyFile& file, NoiseModels& noise);

}  // namespace tolvane::study
