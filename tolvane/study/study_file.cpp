// Parsing a study file with toml++; see study_file.h.
#include "tolvane/study/study_file.h"

#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "formats/text_parsing.h"
#include "tolvane/study/key_family_readers.h"
#include "tolvane/study/acquisition_reader.h"
#include "tolvane/study/noise_from.h"
#include "tolvane/study/response_keys.h"
#include "tolvane/study/spectrum_keys.h"
#include "tolvane/study/toml_keys.h"

namespace tolvane::study {
namespace {

using formats::InputError;

// Study files are a few lines; this only stops a wrong file from being read whole.
constexpr std::uintmax_t kMaxStudyFileBytes = 1u << 20;

constexpr const char* kAmountForms =
    "an amplitude in data units (3.0), a percentage (\"2%\"), peak units (\"2% peak\", "
    "\"3.0 peak\") or { mean = ..., sd = ..., run_sd = ... }";

Amount readAmount(const KeyReader& reader, const std::string& name, const toml::node& value) {
  Amount amount;
  if (value.is_number()) {
    amount.value = *value.value<double>();
    return amount;
  }
  if (!value.is_string()) reader.wrongType(name, value, kAmountForms);
  const std::string text = *value.value<std::string>();
  std::string_view written = formats::trim(text);
  constexpr std::string_view kPeak = "peak";
  if (written.size() > kPeak.size() && written.substr(written.size() - kPeak.size()) == kPeak) {
    amount.peak = true;
    written = formats::trim(written.substr(0, written.size() - kPeak.size()));
  }
  if (!written.empty() && written.back() == '%') {
    amount.percent = true;
    written = formats::trim(written.substr(0, written.size() - 1));
  }
  const auto number = formats::parseFiniteNumber(written);
  // A plain number belongs in the file as a number; in a string it needs a unit.
  if (!number || (!amount.percent && !amount.peak)) reader.wrongType(name, value, kAmountForms);
  amount.value = *number;
  return amount;
}

void readEffects(const KeyReader& reader, const std::string& prefix, const toml::node& node,
                 RegionEntry& region) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    reader.wrongType(prefix, node, "a table of condition = amplitude (3.0 or \"2%\")");
  }
  region.effectsPlace = reader.place(prefix, node);
  for (const auto& [key, value] : *table) {
    const std::string condition(key.str());
    const std::string name = prefix + "." + formats::printable(condition);
    AmplitudeEntry entry{condition, {}, std::nullopt, std::nullopt, reader.place(name, value)};
    if (const toml::table* drawn = value.as_table()) {
      reader.onlyKnownKeys(*drawn, name + ".", {"mean", "sd", "run_sd"});
      const toml::node* mean = drawn->get("mean");
      if (mean == nullptr) reader.fail(entry.place, "expected the effect's mean");
      entry.mean = readAmount(reader, name + ".mean", *mean);
      for (const char* key : {"sd", "run_sd"}) {
        const toml::node* spread = drawn->get(key);
        if (spread == nullptr) continue;
        const Amount amount = readAmount(reader, name + "." + key, *spread);
        // A spread is in the mean's units: peak units only with a peak mean.
        if ((amount.peak && !entry.mean.peak) || !(amount.value >= 0.0)) {
          reader.wrongType(name + "." + key, *spread,
                           "a standard deviation of 0 or more, in the mean's units");
        }
        (std::string(key) == "sd" ? entry.sd : entry.runSd) = amount;
      }
    } else {
      entry.mean = readAmount(reader, name, value);
    }
    region.effects.push_back(entry);
  }
}

RegionEntry readRegion(const KeyReader& reader, const std::string& prefix, const toml::node& node) {
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType(prefix, node, "a table");
  reader.onlyKnownKeys(*table, prefix + ".",
                       {"name", "shape", "centre_voxel", "centre_mm", "radius_voxels", "radius_mm",
                        "voi", "labels", "label", "jitter_mm", "effects", "hrf", "pattern"});
  RegionEntry region;
  region.place = reader.place(prefix, node);
  for (const auto& [key, value] : *table) {
    const std::string name(key.str());
    const std::string full = prefix + "." + name;
    region.places.push_back(reader.place(full, value));
    if (name == "name") region.name = reader.text(full, value);
    if (name == "shape") region.shape = reader.text(full, value);
    if (name == "centre_voxel") {
      region.centreVoxel = reader.list<3, std::int64_t>(full, value, true);
    }
    if (name == "centre_mm") region.centreMm = reader.list<3, double>(full, value, false);
    if (name == "radius_voxels") region.radiusVoxels = reader.number(full, value);
    if (name == "radius_mm") region.radiusMm = reader.number(full, value);
    if (name == "voi") region.voi = reader.text(full, value);
    if (name == "labels") region.labels = reader.text(full, value);
    if (name == "label") region.label = reader.integer(full, value);
    if (name == "jitter_mm") region.jitterMm = reader.number(full, value);
    if (name == "effects") readEffects(reader, full, value, region);
    if (name == "hrf") region.response = readResponseEntry(reader, full, value);
    if (name == "pattern") region.pattern = readPattern(reader, full, value);
  }
  return region;
}

// Upper bounds on the lengths of noise.ar and noise.ma.
constexpr std::size_t kMaxArOrder = 4;
constexpr std::size_t kMaxMaOrder = 1;

// The keys of an inline table such as noise.acf, each recorded for messages.
template <typename Apply>
void readSubtable(const KeyReader& reader, const std::string& key, const toml::node& node,
                  const std::string& expected, const std::set<std::string>& known, StudyFile& study,
                  Apply&& apply) {
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType(key, node, expected);
  reader.onlyKnownKeys(*table, key + ".", known);
  for (const auto& [name, value] : *table) {
    const std::string full = key + "." + std::string(name.str());
    study.places.push_back(reader.place(full, value));
    apply(full, value);
  }
}

void readNoise(const KeyReader& reader, const toml::node& node, StudyFile& study) {
  const toml::table* noise = node.as_table();
  if (noise == nullptr) reader.wrongType("noise", node, "a table");
  reader.onlyKnownKeys(*noise, "noise.",
                       {"sd", "smoothness_mm", "model", "rho", "drift", "tsnr", "snr", "magnitude",
                        "acf", "ar", "ma", "physio", "spectrum"});
  for (const auto& [noiseKey, noiseValue] : *noise) {
    const std::string key = "noise." + std::string(noiseKey.str());
    study.places.push_back(reader.place(key, noiseValue));
    if (key == "noise.sd") {
      if (noiseValue.is_string()) {
        study.noiseSdImage = reader.text(key, noiseValue);
      } else {
        study.noiseSd = reader.number(key, noiseValue);
      }
      study.noiseSdGiven = true;
    }
    if (key == "noise.smoothness_mm") {
      if (noiseValue.is_array()) {
        study.smoothnessAxesMm = reader.list<3, double>(key, noiseValue, false);
        study.smoothnessMm = std::max({(*study.smoothnessAxesMm)[0], (*study.smoothnessAxesMm)[1],
                                       (*study.smoothnessAxesMm)[2]});
      } else {
        study.smoothnessMm = reader.number(key, noiseValue);
      }
    }
    if (key == "noise.model") study.noiseModel = reader.text(key, noiseValue);
    if (key == "noise.rho") study.rho = reader.number(key, noiseValue);
    if (key == "noise.tsnr") {
      if (noiseValue.is_string()) {
        study.tsnrImage = reader.text(key, noiseValue);
      } else {
        study.tsnr = reader.number(key, noiseValue);
      }
    }
    if (key == "noise.snr") study.snr = reader.number(key, noiseValue);
    if (key == "noise.magnitude") study.magnitude = reader.boolean(key, noiseValue);
    if (key == "noise.ar") study.ar = reader.numbers(key, noiseValue, kMaxArOrder);
    if (key == "noise.ma") study.ma = reader.numbers(key, noiseValue, kMaxMaOrder);
    if (key == "noise.spectrum") study.spectrum = readSpectrum(reader, noiseValue, study);
    if (key == "noise.drift") {
      const toml::table* drift = noiseValue.as_table();
      if (drift == nullptr) reader.wrongType(key, noiseValue, "a table { sd = D, cutoff_s = S }");
      reader.onlyKnownKeys(*drift, "noise.drift.", {"sd", "cutoff_s"});
      const toml::node* sd = drift->get("sd");
      if (sd == nullptr) reader.fail(reader.place(key, noiseValue), "expected the drift's sd");
      study.driftSd = reader.number("noise.drift.sd", *sd);
      study.places.push_back(reader.place("noise.drift.sd", *sd));
      if (const toml::node* cutoff = drift->get("cutoff_s")) {
        study.driftCutoffSeconds = reader.number("noise.drift.cutoff_s", *cutoff);
        study.places.push_back(reader.place("noise.drift.cutoff_s", *cutoff));
      }
    }
    if (key == "noise.acf") {
      MixedAcfEntry acf;
      int given = 0;
      readSubtable(reader, key, noiseValue, "a table { a = A, b_mm = B, c_mm = C }",
                   {"a", "b_mm", "c_mm"}, study,
                   [&](const std::string& full, const toml::node& value) {
                     const double number = reader.number(full, value);
                     if (full == "noise.acf.a") acf.a = number;
                     if (full == "noise.acf.b_mm") acf.bMm = number;
                     if (full == "noise.acf.c_mm") acf.cMm = number;
                     ++given;
                   });
      if (given != 3) {
        reader.fail(reader.place(key, noiseValue), "expected all three of a, b_mm and c_mm");
      }
      study.acf = acf;
    }
    if (key == "noise.physio") {
      PhysioEntry physio;
      bool shareGiven = false;
      readSubtable(reader, key, noiseValue,
                   "a table { share = F, cardiac_hz = C, respiratory_hz = R, map = \"IMAGE\" }",
                   {"share", "cardiac_hz", "respiratory_hz", "map"}, study,
                   [&](const std::string& full, const toml::node& value) {
                     if (full == "noise.physio.map") {
                       physio.map = reader.text(full, value);
                       return;
                     }
                     const double number = reader.number(full, value);
                     if (full == "noise.physio.share") {
                       physio.share = number;
                       shareGiven = true;
                     }
                     if (full == "noise.physio.cardiac_hz") physio.cardiacHz = number;
                     if (full == "noise.physio.respiratory_hz") physio.respiratoryHz = number;
                   });
      if (!shareGiven) {
        reader.fail(reader.place(key, noiseValue),
                    "expected share, the physiological share of the temporal variance");
      }
      study.physio = physio;
    }
  }
}

// Every key of [design] is required: a design is written out in full.
DesignEntry readDesign(const KeyReader& reader, const toml::node& node, StudyFile& study) {
  const toml::table* table = node.as_table();
  if (table == nullptr) reader.wrongType("design", node, "a table");
  reader.onlyKnownKeys(*table, "design.", {"conditions", "trials", "duration_s", "isi_s"});
  const auto required = [&](const toml::table& within, const std::string& prefix,
                            const std::string& key) -> const toml::node& {
    const toml::node* found = within.get(key);
    if (found == nullptr) {
      reader.fail(reader.place(prefix.substr(0, prefix.size() - 1), node),
                  "expected the key " + prefix + key);
    }
    study.places.push_back(reader.place(prefix + key, *found));
    return *found;
  };
  DesignEntry design;
  const toml::node& conditions = required(*table, "design.", "conditions");
  const std::string names = "an array of condition names, e.g. [\"Faces\", \"Houses\"]";
  if (!conditions.is_array() || conditions.as_array()->empty()) {
    reader.wrongType("design.conditions", conditions, names);
  }
  for (const toml::node& element : *conditions.as_array()) {
    if (!element.is_string()) reader.wrongType("design.conditions", conditions, names);
    design.conditions.push_back(*element.value<std::string>());
  }
  design.trials = reader.integer("design.trials", required(*table, "design.", "trials"));
  design.durationSeconds =
      reader.number("design.duration_s", required(*table, "design.", "duration_s"));
  const toml::node& isi = required(*table, "design.", "isi_s");
  const toml::table* isiTable = isi.as_table();
  if (isiTable == nullptr) {
    reader.wrongType("design.isi_s", isi, "a table { min = 2.0, mean = 4.0, max = 12.0 }");
  }
  reader.onlyKnownKeys(*isiTable, "design.isi_s.", {"min", "mean", "max"});
  design.isiMinSeconds =
      reader.number("design.isi_s.min", required(*isiTable, "design.isi_s.", "min"));
  design.isiMeanSeconds =
      reader.number("design.isi_s.mean", required(*isiTable, "design.isi_s.", "mean"));
  design.isiMaxSeconds =
      reader.number("design.isi_s.max", required(*isiTable, "design.isi_s.", "max"));
  return design;
}

void readTopLevel(const KeyReader& reader, const toml::table& document, StudyFile& study) {
  reader.onlyKnownKeys(document, "",
                       {"name", "seed", "subjects", "runs", "task", "tr", "volumes", "protocol",
                        "design", "rest", "generator", "signal", "datatype", "baseline",
                        "baseline_scale", "mask", "noise", "grid", "region", "hrf",
                        "trial_sd", "network", "motion", "slice_timing", "multiband"});
  bool protocolGiven = false;
  for (const auto& [key, value] : document) {
    const std::string name(key.str());
    study.places.push_back(reader.place(name, value));
    if (name == "name") study.name = reader.text(name, value);
    if (name == "seed") study.seed = reader.integer(name, value);
    if (name == "subjects") study.subjects = reader.integer(name, value);
    if (name == "runs") study.runs = reader.integer(name, value);
    if (name == "task") study.task = reader.text(name, value);
    if (name == "tr") study.trSeconds = reader.number(name, value);
    if (name == "volumes") study.volumes = reader.integer(name, value);
    if (name == "generator") study.generator = reader.text(name, value);
    if (name == "signal") study.signal = reader.text(name, value);
    if (name == "datatype") study.datatype = reader.text(name, value);
    if (name == "baseline") {
      if (value.is_string()) {
        study.baselineImage = reader.text(name, value);
      } else if (value.is_number()) {
        study.baseline = reader.number(name, value);
      } else {
        reader.wrongType(name, value, "a number or the path of an image");
      }
    }
    if (name == "baseline_scale") study.baselineScale = reader.number(name, value);
    if (name == "mask") study.mask = reader.text(name, value);
    if (name == "rest") {
      const toml::array* names = value.as_array();
      const std::string expected = "an array of condition names, e.g. [\"Rest\"]";
      if (names == nullptr) reader.wrongType(name, value, expected);
      study.rest.emplace();
      for (const toml::node& element : *names) {
        if (!element.is_string()) reader.wrongType(name, value, expected);
        study.rest->push_back(*element.value<std::string>());
      }
    }
    if (name == "protocol") {
      study.protocol = reader.text(name, value);
      protocolGiven = true;
    }
    if (name == "design") study.design = readDesign(reader, value, study);
    if (name == "network") study.networks = readNetworks(reader, value);
    if (name == "noise") readNoise(reader, value, study);
    if (name == "hrf") study.response = readResponseEntry(reader, name, value);
    if (name == "trial_sd") study.trialSds = readTrialSds(reader, value);
    if (name == "motion") readMotion(reader, value, study);
    if (name == "slice_timing" || name == "multiband") readSliceTiming(reader, name, value, study);
    if (name == "grid") {
      const toml::table* grid = value.as_table();
      if (grid == nullptr) reader.wrongType(name, value, "a table");
      reader.onlyKnownKeys(*grid, "grid.", {"anatomical", "box", "resolution"});
      for (const auto& [gridKey, gridValue] : *grid) {
        const std::string full = "grid." + std::string(gridKey.str());
        study.places.push_back(reader.place(full, gridValue));
        if (gridKey == "anatomical") study.anatomical = reader.text(full, gridValue);
        if (gridKey == "box") study.box = reader.list<6, std::int64_t>(full, gridValue, true);
        if (gridKey == "resolution") study.resolution = reader.integer(full, gridValue);
      }
    }
    if (name == "region") {
      const toml::array* regions = value.as_array();
      if (regions == nullptr) {
        reader.wrongType(name, value, "an array of tables ([[region]] sections)");
      }
      for (std::size_t i = 0; i < regions->size(); ++i) {
        const std::string prefix = "region[" + std::to_string(i + 1) + "]";
        study.regions.push_back(readRegion(reader, prefix, *regions->get(i)));
      }
    }
  }
  if (protocolGiven && study.design) {
    reader.fail(study.placeOf("design"), "expected either protocol or [design], not both");
  }
  if (!protocolGiven && !study.design) {
    reader.fail({"protocol", 0},
                "missing; expected the path of a protocol file, or a [design] table");
  }
}

}  // namespace

KeyPlace StudyFile::placeOf(const std::string& key) const {
  for (const KeyPlace& place : places) {
    if (place.key == key) return place;
  }
  return {key, 0};
}

void StudyFile::fail(const std::string& key, const std::string& what) const {
  formats::failAt(path, placeOf(key).line, "key " + key + ": " + what);
}

StudyFile parseStudyText(const std::string& text, const std::filesystem::path& file) {
  const KeyReader reader(file);
  toml::table document;
  try {
    document = toml::parse(text, file.string());
  } catch (const toml::parse_error& error) {
    formats::failAt(file, static_cast<int>(error.source().begin.line),
                    "expected a TOML study file: " + std::string(error.description()));
  }
  mergeFittedNoise(document, file);
  StudyFile study;
  study.path = file;
  study.text = text;
  readTopLevel(reader, document, study);
  return study;
}

StudyFile readStudyFile(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    throw InputError(file.string() + ": expected a study file, found no such file");
  }
  if (std::filesystem::file_size(file, error) > kMaxStudyFileBytes) {
    throw InputError(file.string() + ": expected a study file of at most 1 MiB");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) throw InputError(file.string() + ": cannot be opened for reading");
  std::ostringstream text;
  text << in.rdbuf();
  return parseStudyText(text.str(), file);
}

}  // namespace tolvane::study
