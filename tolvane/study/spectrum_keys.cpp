// noise.spectrum's reading and checks; see spectrum_keys.h.
#include "tolvane/study/spectrum_keys.h"

#include <cmath>
#include <cstdio>

#include "tolvane/study/study.h"
#include "tolvane/study/toml_keys.h"

namespace tolvane::study {

SpectrumEntry readSpectrum(const KeyReader& reader, const toml::node& node, StudyFile& study) {
  const std::string key = "noise.spectrum";
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType(key, node, "a table { nyquist_hz = F, power = [...] }");
  reader.onlyKnownKeys(*table, key + ".", {"nyquist_hz", "power"});
  SpectrumEntry spectrum;
  const toml::node* nyquist = table->get("nyquist_hz");
  const toml::node* power = table->get("power");
  if (nyquist == nullptr || power == nullptr) {
    reader.fail(reader.place(key, node), "expected both nyquist_hz and power");
  }
  spectrum.nyquistHz = reader.number(key + ".nyquist_hz", *nyquist);
  spectrum.power = reader.numbers(key + ".power", *power, kMaxSpectrumPoints);
  study.places.push_back(reader.place(key + ".nyquist_hz", *nyquist));
  study.places.push_back(reader.place(key + ".power", *power));
  return spectrum;
}

void checkSpectrum(const StudyFile& file, NoiseModels& noise) {
  if (!file.spectrum) return;
  if (file.ar || file.ma || file.noiseModel != "white") {
    file.fail("noise.spectrum",
              "expected either noise.spectrum or an AR model (noise.ar, noise.ma, model = "
              "\"ar1\"), not both: the spectrum is the whole temporal model");
  }
  const SpectrumEntry& spectrum = *file.spectrum;
  if (spectrum.power.size() < 2) {
    file.fail("noise.spectrum.power", "expected at least two values (0 Hz and the Nyquist)");
  }
  double total = 0.0;
  for (double value : spectrum.power) {
    if (!(value >= 0.0 && value <= 1e30)) {
      file.fail("noise.spectrum.power", "expected powers from 0 up, and finite");
    }
    total += value;
  }
  if (!(total > 0.0)) file.fail("noise.spectrum.power", "expected some power above 0");
  const double nyquist = 1.0 / (2.0 * file.trSeconds);
  if (!(std::fabs(spectrum.nyquistHz / nyquist - 1.0) <= 1e-6)) {
    char text[240];
    std::snprintf(text, sizeof text,
                  "the spectrum is given up to %.6g Hz, but a TR of %.6g s samples up to %.6g "
                  "Hz; fit it on a run of this TR (or set tr to %.6g s)",
                  spectrum.nyquistHz, file.trSeconds, nyquist, 0.5 / spectrum.nyquistHz);
    file.fail("noise.spectrum.nyquist_hz", text);
  }
  noise.spectrum = spectrum.power;
}

}  // namespace tolvane::study
