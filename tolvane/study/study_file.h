// A study file as written: the keys of the TOML document, checked for names and
// types, before anything they refer to is read.
//
// Every problem is an InputError "FILE:LINE: key K: expected ..., found ..." (the line
// where the parser knows one). Paths are kept as written; study.h resolves them
// against the study file's folder.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/study/acquisition_keys.h"
#include "tolvane/study/key_place.h"
#include "tolvane/study/network_keys.h"
#include "tolvane/study/pattern_keys.h"
#include "tolvane/study/response_entry.h"

namespace tolvane::study {

// An amount as written: in data units, or in percent of the baseline; with "peak",
// the largest value that the condition's response reaches in the run rather than the
// amount per unit of its predictor (a long block's plateau).
struct Amount {
  double value = 0.0;
  bool percent = false;
  bool peak = false;
};

// A region's effect on a condition: an amount, or { mean, sd, run_sd } drawn per
// subject and run.
struct AmplitudeEntry {
  std::string condition;
  Amount mean;
  std::optional<Amount> sd, runSd;
  KeyPlace place;
};

struct RegionEntry {
  KeyPlace place;  // the region's table
  std::optional<std::string> name;
  std::optional<std::string> shape;
  std::optional<std::array<std::int64_t, 3>> centreVoxel;
  std::optional<std::array<double, 3>> centreMm;
  std::optional<double> radiusVoxels;
  std::optional<double> radiusMm;
  std::optional<std::string> voi;
  std::optional<std::string> labels;
  std::optional<std::int64_t> label;
  std::optional<double> jitterMm;
  std::optional<ResponseEntry> response;  // hrf
  std::vector<AmplitudeEntry> effects;   // in the file's order
  std::optional<PatternEntry> pattern;   // a voxel pattern per condition, pattern_keys.h
  std::optional<KeyPlace> effectsPlace;  // absent: no effects table
  std::vector<KeyPlace> places;          // the region's keys, for messages
};

// The noise keys that shape a run like a scanner's (all optional; none given: the
// uniform box of before, to the byte).
struct MixedAcfEntry {
  double a = 0.0, bMm = 0.0, cMm = 0.0;
};

// noise.spectrum (spectrum_keys.h).
struct SpectrumEntry {
  double nyquistHz = 0.0;
  std::vector<double> power;
};

struct PhysioEntry {
  double share = 0.0;
  double cardiacHz = 1.1;
  double respiratoryHz = 0.25;
  std::optional<std::string> map;
};

// A [design] table: events generated per run (see generated_design.h).
struct DesignEntry {
  std::vector<std::string> conditions;
  std::int64_t trials = 0;
  double durationSeconds = 0.0;
  double isiMinSeconds = 0.0, isiMeanSeconds = 0.0, isiMaxSeconds = 0.0;
};

struct StudyFile {
  std::filesystem::path path;
  std::string text;  // the file as read
  std::optional<std::string> name;
  std::int64_t seed = 1;
  std::int64_t subjects = 1;
  std::int64_t runs = 1;
  std::string task = "sim";
  double trSeconds = 2.0;
  std::optional<std::int64_t> volumes;
  std::string protocol;             // may hold {subject} and {run}; empty with a design
  std::optional<DesignEntry> design;
  std::optional<std::vector<std::string>> rest;  // absent: the default rule
  std::string generator = "philox";
  std::string signal = "add";
  std::string datatype = "float32";
  double baseline = 100.0;
  std::optional<std::string> baselineImage;  // baseline = "IMAGE.nii.gz"
  std::optional<double> baselineScale;
  std::optional<std::string> mask;
  double noiseSd = 5.0;
  bool noiseSdGiven = false;
  std::optional<double> tsnr;
  // noise.sd or noise.tsnr given as an image: a level per voxel (scanner_noise.h).
  std::optional<std::string> noiseSdImage, tsnrImage;
  std::optional<double> snr;
  std::optional<bool> magnitude;
  std::optional<MixedAcfEntry> acf;
  std::optional<std::vector<double>> ar;
  std::optional<std::vector<double>> ma;
  std::optional<PhysioEntry> physio;
  std::optional<SpectrumEntry> spectrum;
  std::optional<double> smoothnessMm;
  std::optional<std::array<double, 3>> smoothnessAxesMm;  // smoothness_mm = [x, y, z]
  std::string noiseModel = "white";
  std::optional<double> rho;
  std::optional<double> driftSd;
  double driftCutoffSeconds = 128.0;
  std::optional<std::string> anatomical;
  std::optional<std::array<std::int64_t, 6>> box;
  std::int64_t resolution = 3;
  std::optional<ResponseEntry> response;  // hrf
  std::vector<TrialSdEntry> trialSds;     // trial_sd
  std::vector<RegionEntry> regions;
  std::vector<NetworkEntry> networks;  // [[network]], network_keys.h
  std::optional<MotionEntry> motion;            // docs/motion.md
  std::optional<SliceTimingEntry> sliceTiming;  // slice_timing and multiband
  // Lines of the keys whose values are checked later, for messages.
  std::vector<KeyPlace> places;
  KeyPlace placeOf(const std::string& key) const;
  bool given(const std::string& key) const { return placeOf(key).line > 0; }
  // Throws the InputError "FILE:LINE: key K: what" for a key of this file.
  [[noreturn]] void fail(const std::string& key, const std::string& what) const;
};

// Reads and parses the file; throws InputError.
StudyFile readStudyFile(const std::filesystem::path& file);
// The same from text that comes from `file`.
StudyFile parseStudyText(const std::string& text, const std::filesystem::path& file);

}  // namespace tolvane::study
