// A study, checked and resolved: everything a run needs, with the study file's
// paths read (protocol, anatomical, VOI and label files), its regions turned into
// grid voxels and its amplitudes into data units.
//
// Paths in a study file are relative to the study file's folder. Amplitudes given in
// percent become baseline * percent / 100, evaluated in double and rounded to float;
// a peak amplitude A ("2% peak") becomes A / p, p being the largest value of the
// condition's predictor in the run, so that the response peaks at A.
// Every problem is an InputError naming the study file, the key and its line; what is
// allowed but probably unintended (events past the run's end, regions that overlap or
// reach out of the grid) is kept as a warning for the command to show.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "design/protocol.h"
#include "engine/autoregression.h"
#include "engine/physiological_noise.h"
#include "engine/smoothing.h"
#include "formats/geometry.h"
#include "simulation/synthesis.h"
#include "tolvane/study/response_model.h"
#include "tolvane/study/networks.h"
#include "tolvane/study/patterns.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

enum class Generator { Philox, Ran1 };
enum class SignalMode { Add, Replace };
// How a run's values are stored in its NIfTI file: as they are computed, or as 16-bit
// integers with a scale per run, as scanners store magnitude images (see
// tolvane/simulate/int16_scale.h). The truth is float either way.
enum class StoredType { Float32, Int16 };

constexpr std::int64_t kMaxSeed = 2147483646;  // 2^31 - 2, the largest ran1 seed
constexpr std::int64_t kMaxSubjects = 999;
constexpr std::int64_t kMaxRuns = 99;

// Command-line values that take the place of the study file's keys.
struct Overrides {
  std::optional<std::int64_t> seed;
  std::optional<std::int64_t> subjects;
  std::optional<std::int64_t> runs;
};

// Physiological noise: its share of the temporal variance in the mask and the
// oscillators' nominal rates.
struct Physio {
  double share = 0.0;
  engine::PhysiologicalRates rates;
};

// Structured noise on top of the white field; see engine/noise_models.h. All off
// is the white field alone.
struct NoiseModels {
  double smoothnessMm = 0.0;  // FWHM of the Gaussian kernel; 0: no smoothing
  // Per grid axis (noise.smoothness_mm = [x, y, z]), when given; smoothnessMm is then
  // the largest of the three.
  std::optional<std::array<double, 3>> smoothnessAxesMm;
  bool autoregressive = false;
  float rho = 0.0f;
  float driftSd = 0.0f;  // 0: no drift
  double driftCutoffSeconds = 128.0;

  // The models of scanner-like noise (scanner_noise.h); when present they take the
  // place of smoothnessMm and the AR(1).
  std::optional<engine::MixedAcf> acf;
  engine::ArmaModel arma;  // noise.ar and noise.ma; both empty: none
  std::optional<Physio> physio;
  std::vector<double> spectrum;  // noise.spectrum's power (spectrum_keys.h); empty: none

  bool any() const {
    return smoothnessMm > 0.0 || autoregressive || driftSd > 0.0f || acf || !arma.ar.empty() ||
           !arma.ma.empty() || physio || !spectrum.empty();
  }
};

// The per-voxel levels of a run (scanner_noise.h); absent when the study uses none of
// the keys that make them, so that such a study runs exactly as before.
struct VoxelLevelMaps {
  std::vector<float> baseline;          // b, per grid voxel (x fastest)
  std::vector<std::uint8_t> mask;       // 1 inside the brain
  std::vector<float> fluctuationSd;     // f, 0 outside the mask
  std::vector<float> physioSd;          // p, 0 outside the mask (all 0 without physio)
  float thermalSd = 0.0f;               // s
  bool magnitude = false;
  double thermalOnlyShare = 0.0;        // of the mask's voxels whose budget thermal fills
  std::vector<float> expectedTsnr;      // b / sqrt(f^2 + p^2 + s^2); 0 where that sd is 0
  std::int64_t maskVoxels = 0;
  double meanBaselineInMask = 0.0;
  bool automaticMask = false;           // derived from the baseline image
};

enum class RegionKind { Sphere, Voi, Labels };

// A region's effect on one condition, in data units: per unit of the condition's
// predictor, or (peak) as the largest value its response reaches in the run. A subject's
// effect is mean + sd z_s, and a run's the subject's + runSd z_r, with z_s, z_r
// standard normal draws of the subject's and the run's sequences (study_random.h).
struct Effect {
  double mean = 0.0;
  double sd = 0.0;
  double runSd = 0.0;
  bool peak = false;
};

struct Region {
  std::string name;
  RegionKind kind = RegionKind::Sphere;
  std::array<double, 3> centreMm{};           // sphere: its centre voxel; others: the centroid
  std::optional<double> radiusMm;             // spheres only, along the grid's first axis
  std::vector<std::int64_t> voxels;           // grid voxel indices inside the grid, ascending
  std::vector<Effect> effects;                // one per condition
  // Per condition: the effect was given in percent of the baseline. With an image
  // baseline the effect is in units of the mean baseline over the mask, and each voxel
  // gets it scaled by its own baseline over that mean (run_synthesis.h).
  std::vector<bool> percentOfBaseline;
  std::vector<std::string> effectsAsWritten;  // "Task=3", "Rest=2%"

  // How the plug-in's passes write the region (generator ran1, signal replace): the
  // sphere pass around a VMR voxel, or the voxel-list pass over VMR voxel triples.
  bool pluginSphere = false;
  std::array<int, 3> sphereCentreVmr{};
  std::vector<std::int32_t> vmrVoxels;
  simulation::VoxelConvention convention;
  // The sd in mm of the subject's offset of the region along each grid axis; 0: none.
  double jitterMm = 0.0;
  // The share of the region's voxels (spheres: grid offsets; VOIs and labels:
  // anatomical voxels) that lie inside the grid; below 1 the region was clipped.
  double shareInsideGrid = 1.0;
  // A voxel pattern per condition around the effects, drawn per subject (patterns.h).
  std::optional<Pattern> pattern;
};

// The events of a run and the predictors they give.
// Only the per-volume predictors are kept (not the design's fine time grid): a study may
// have a hundred thousand runs.
struct RunDesign {
  design::Protocol protocol;                  // the study's conditions, in its order
  std::vector<std::vector<float>> predictors;  // per condition: convolved, one per volume
  std::vector<float> peaks;                   // per condition: its predictor's largest value
};

struct Study {
  std::filesystem::path file;
  // Every file the study reads (the study file, protocols, images, VOI and label files),
  // as resolved: what an output folder must not remove.
  std::vector<std::filesystem::path> inputFiles;
  std::string fileBytes;  // the study file as read, copied into the dataset
  std::string fileSha256;
  std::string name;
  std::uint32_t seed = 1;
  int subjects = 1;
  int runs = 1;
  std::string task;
  Generator generator = Generator::Philox;
  SignalMode signal = SignalMode::Add;
  StoredType datatype = StoredType::Float32;
  simulation::Levels levels{};
  NoiseModels noise;
  std::optional<VoxelLevelMaps> voxelLevels;
  // The keys as written that made voxelLevels, for the sidecar.
  std::optional<std::string> baselineImage;
  double baselineScale = 1.0;
  std::optional<std::string> maskImage, physioMapImage;
  std::optional<double> tsnr, snr;
  std::optional<std::string> noiseSdImage, tsnrImage;
  formats::VtcGeometry grid;  // with the runs' time points and TR
  formats::SpatialFrame frame;
  // The conditions (those of the first run's events; every run has them, in this order).
  design::Protocol protocol;
  // One per run place, or a single one that every run shares.
  std::vector<RunDesign> runDesigns;
  std::vector<bool> rest;  // per condition: rest, left out of the events tables
  std::vector<Region> regions;
  // Per region: its haemodynamic response (response_draws.h); empty without an hrf key,
  // when every region has the canonical two-gamma of the run designs' predictors.
  std::vector<RegionResponse> responses;
  // Per condition: the spread of its trials' amplitudes (trial_amplitudes.h); empty
  // without trial_sd.
  std::vector<TrialSpread> trialSpreads;
  std::vector<Network> networks;  // [[network]]: regions sharing fluctuations (networks.h)
  std::optional<HeadMotion> motion;        // head_motion.h; none: a still head
  std::optional<SliceTiming> sliceTiming;  // slice_timing.h; none: every slice at t TR
  std::vector<std::string> warnings;

  int runCount() const { return subjects * runs; }
  const RunDesign& runDesign(int place) const {
    return runDesigns.size() == 1 ? runDesigns.front()
                                  : runDesigns[static_cast<std::size_t>(place)];
  }
  // The amplitude of each condition in region `region` during run `place`, in data
  // units per unit of the run's predictors: the drawn effect, divided by the run's
  // predictor peak for a peak effect (or by `peaks`, the region's own predictors'
  // peaks, when given), evaluated in double and rounded to float.
  std::vector<float> amplitudes(std::size_t region, int place,
                                const std::vector<float>* peaks = nullptr) const;
  // The mean effects of the region, as amplitudes averaged over the runs (they differ
  // between runs only for a peak effect of designs that differ).
  std::vector<float> meanAmplitudes(std::size_t region) const;
  bool effectsVary() const;  // some effect has an sd or a run sd
  bool subjectsDiffer() const;  // effects vary, a region jitters or has a pattern
  // The whole grid voxels by which subject `subject` (from 1) moves region `region`
  // along each grid axis: round(jitter_mm z / edge), z a standard normal draw of the
  // subject's sequence (study_random.h), edge the grid voxel's length on that axis.
  std::array<int, 3> regionOffset(std::size_t region, int subject) const;
  // The grid voxel edges in mm along the grid's axes.
  std::array<double, 3> voxelEdgesMm() const;
  // "01", "002": the subject's number as the dataset's labels write it.
  std::string subjectLabel(int subject) const;
  double runMilliseconds() const { return grid.timePoints * grid.trMilliseconds; }
  std::int64_t voxelCount() const { return static_cast<std::int64_t>(grid.voxelCount()); }
};

// Reads the study file and everything it names, applies the overrides and checks it
// all; throws InputError.
Study loadStudy(const std::filesystem::path& file, const Overrides& overrides);

const char* generatorName(Generator generator);
const char* signalName(SignalMode signal);
const char* storedTypeName(StoredType type);

}  // namespace tolvane::study
