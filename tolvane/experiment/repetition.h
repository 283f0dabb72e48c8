// One repetition of a methods experiment, in memory: the study drawn with the
// repetition's own seed, every run synthesised and fitted without a file, and the
// figures that the experiment's table keeps (result_table.h).
//
// Seeds. Repetition r draws the study with seed
//   seed_r = 1 + (w mod 2147483646),  w the first word of the draw sequence
//   (study_random.h) keyed (study seed, r) on stream kExperimentStream,
// so each repetition is an independent study whatever the shard that runs it, and any
// repetition can be regenerated alone (tolvane simulate STUDY --seed seed_r writes it).
//
// Analysis. Each run: the truth and data of tolvane simulate (run_synthesis.h), the
// reference GLM of tolvane glm (its design from the run's events without the rest
// conditions, the default high-pass, prewhitening as asked or as the study's noise
// calls for), inside the study's brain mask (the whole grid without one). First-level:
// one map per run. Group: each subject's runs by fixed effects, the subjects by a
// one-sample t test (tolvane group), one map per repetition. The residuals'
// smoothness of a run comes from its fit; of the group, from the subjects' effects
// less their mean.
//
// Per map: the largest |t| inside the mask; at each cluster-forming p (two-sided) the
// threshold, the voxels above it, the largest cluster and random field theory's K
// (random_field.h); per region of the study with a true contrast, its peak |t| and,
// at each forming p, the size of the largest cluster that reaches into it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/clusters.h"
#include "tolvane/analysis/glm.h"
#include "tolvane/analysis/smoothness.h"

namespace tolvane::experiment {

// The stream of the repetitions' seeds: far from the engine's streams (0 to 8,
// engine/counter_noise.h), so that no draw of a study repeats a seed's word.
inline constexpr std::uint32_t kExperimentStream = 0x100;

enum class Analysis { FirstLevel, Group };

struct ExperimentSettings {
  std::filesystem::path study;
  int repetitions = 0;
  Analysis analysis = Analysis::Group;
  std::string contrast;
  std::optional<analysis::Prewhitening> prewhiten;  // absent: the study's noise decides
  std::vector<double> clusterP{0.01, 0.001};
  analysis::Connectivity connectivity = analysis::kDefaultConnectivity;
  bool wholeGrid = false;  // --no-mask
  std::optional<std::int64_t> subjects;  // --subjects: the study's subject count overridden
};

struct ClusterRecord {
  double threshold = 0.0;
  std::int64_t voxelsAbove = 0, largestCluster = 0, randomFieldK = 0;
};

struct RegionRecord {
  double peak = 0.0;                        // largest |t| in the region
  std::vector<std::int64_t> clusterSizes;  // per forming p: the largest reaching into it
};

struct MapRecord {
  int repetition = 0;
  std::string map;  // "sub-01_run-1", or "group"
  std::uint32_t seed = 0;
  int degreesOfFreedom = 0;
  std::int64_t maskVoxels = 0;
  double maxStatistic = 0.0;
  analysis::Smoothness smoothness;
  std::vector<ClusterRecord> clusters;  // per forming p
  std::vector<RegionRecord> regions;    // per region with a true contrast
};

// What the repetitions share: the study's seed, its regions with a true contrast (names
// and indices) and the noise model chosen.
struct ExperimentPlan {
  ExperimentSettings settings;
  std::uint32_t studySeed = 1;
  std::string studySha256;
  std::vector<std::string> regionNames;
  std::vector<std::size_t> regionIndices;
  analysis::Prewhitening prewhiten = analysis::Prewhitening::None;
};

// Loads the study once and checks the contrast; throws InputError.
ExperimentPlan planExperiment(const ExperimentSettings& settings);

std::uint32_t repetitionSeed(std::uint32_t studySeed, int repetition);

// The records of repetition `repetition` (from 0).
std::vector<MapRecord> runRepetition(const ExperimentPlan& plan, int repetition);

}  // namespace tolvane::experiment
