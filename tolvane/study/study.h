// A study, checked and resolved: everything a run needs, with the study file's
// paths read (protocol, anatomical, VOI and label files), its regions turned into
// grid voxels and its amplitudes into data units.
//
// Paths in a study file are relative to the study file's folder. Amplitudes given in
// percent become baseline * percent / 100, evaluated in double and rounded to float.
// Every problem is an InputError naming the study file, the key and its line.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "design/design_matrix.h"
#include "design/protocol.h"
#include "formats/geometry.h"
#include "simulation/synthesis.h"
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

// Structured noise on top of the white field; see engine/noise_models.h. All off
// is the white field alone.
struct NoiseModels {
  double smoothnessMm = 0.0;  // FWHM of the Gaussian kernel; 0: no smoothing
  bool autoregressive = false;
  float rho = 0.0f;
  float driftSd = 0.0f;  // 0: no drift
  double driftCutoffSeconds = 128.0;

  bool any() const { return smoothnessMm > 0.0 || autoregressive || driftSd > 0.0f; }
};

enum class RegionKind { Sphere, Voi, Labels };

struct Region {
  std::string name;
  RegionKind kind = RegionKind::Sphere;
  std::array<double, 3> centreMm{};           // sphere: its centre voxel; others: the centroid
  std::optional<double> radiusMm;             // spheres only, along the grid's first axis
  std::vector<std::int64_t> voxels;           // grid voxel indices inside the grid, ascending
  std::vector<float> amplitudes;              // one per protocol condition, data units
  std::vector<std::string> effectsAsWritten;  // "Task=3", "Rest=2%"

  // How the plug-in's passes write the region (generator ran1, signal replace): the
  // sphere pass around a VMR voxel, or the voxel-list pass over VMR voxel triples.
  bool pluginSphere = false;
  std::array<int, 3> sphereCentreVmr{};
  std::vector<std::int32_t> vmrVoxels;
  simulation::VoxelConvention convention;
};

struct Study {
  std::filesystem::path file;
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
  formats::VtcGrid grid;  // with the runs' time points and TR
  formats::SpatialFrame frame;
  std::filesystem::path protocolFile;
  design::Protocol protocol;
  design::DesignMatrix design;  // one convolved predictor per condition, in order
  std::vector<Region> regions;

  int runCount() const { return subjects * runs; }
  std::int64_t voxelCount() const { return static_cast<std::int64_t>(grid.voxelCount()); }
};

// Reads the study file and everything it names, applies the overrides and checks it
// all; throws InputError.
Study loadStudy(const std::filesystem::path& file, const Overrides& overrides);

const char* generatorName(Generator generator);
const char* signalName(SignalMode signal);
const char* storedTypeName(StoredType type);

}  // namespace tolvane::study
