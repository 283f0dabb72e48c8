// A simulated block-design study for the analysis tests: white Gaussian noise around a
// baseline everywhere, and inside a sphere of radius 2 voxels the baseline plus
// `effect` times the Task predictor, the way the plug-in fills a VTC. Written as a
// BIDS run (sub-01_task-sim_bold.nii with its events.tsv) and a truth amplitude map
// (float: `truthValue` inside the sphere, 0 elsewhere), in a temporary folder.
#pragma once

#include <array>
#include <filesystem>
#include <random>
#include <vector>

#include "design/design_matrix.h"
#include "formats/nifti/nifti_io.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/protocols/protocol_files.h"
#include "tests/support/temporary_folder.h"

struct SimulatedStudy {
  TemporaryFolder folder;
  std::array<int, 3> dims{};
  int volumes = 0;
  std::filesystem::path bold, events, truth;
  std::vector<std::size_t> sphere;  // voxel indices, x fastest
};

constexpr double kStudyTrMilliseconds = 2000.0;
constexpr float kBaseline = 100.0f;

// The repository's example protocol: 40 s blocks of Rest and Task in turn.
inline std::filesystem::path exampleEvents() {
  return std::filesystem::path(TOLVANE_SOURCE_DIR) / "examples" / "block_design_events.tsv";
}

inline void simulateStudy(SimulatedStudy& study, std::array<int, 3> dims, int volumes, float effect,
                          float noiseSd, unsigned seed, float truthValue) {
  study.dims = dims;
  study.volumes = volumes;
  study.events = study.folder.file("sub-01_task-sim_events.tsv");
  std::filesystem::copy_file(exampleEvents(), study.events);
  const auto protocol = tolvane::formats::readProtocolFile(study.events);
  tolvane::design::DesignMatrix design;
  design.addPredictor("Task", volumes);
  for (const auto& condition : protocol.conditions) {
    if (condition.name == "Task") {
      design.setFromCondition(0, condition, protocol.unit, kStudyTrMilliseconds, 1.0f);
    }
  }
  design.applyTwoGammaHrf(0, kStudyTrMilliseconds);
  const float* task = design.volumeValues(0);

  const std::size_t voxels = std::size_t(dims[0]) * dims[1] * dims[2];
  const auto nt = static_cast<std::size_t>(volumes);
  std::vector<float> data(voxels * nt);  // time fastest, as a VTC
  std::mt19937 generator(seed);
  std::normal_distribution<float> noise(0.0f, noiseSd);
  for (float& value : data) value = kBaseline + noise(generator);

  const std::array<int, 3> centre{dims[0] / 2, dims[1] / 2, dims[2] / 2};
  std::vector<float> truth(voxels, 0.0f);
  for (int dz = -2; dz <= 2; ++dz) {
    for (int dy = -2; dy <= 2; ++dy) {
      for (int dx = -2; dx <= 2; ++dx) {
        if (dx * dx + dy * dy + dz * dz > 4) continue;
        const std::size_t v =
            (std::size_t(centre[2] + dz) * dims[1] + std::size_t(centre[1] + dy)) * dims[0] +
            std::size_t(centre[0] + dx);
        study.sphere.push_back(v);
        truth[v] = truthValue;
        for (std::size_t t = 0; t < nt; ++t) data[v * nt + t] += effect * task[t];
      }
    }
  }

  tolvane::formats::VtcGeometry grid;
  grid.xEnd = 3 * dims[0];
  grid.yEnd = 3 * dims[1];
  grid.zEnd = 3 * dims[2];
  grid.resolution = 3;
  grid.timePoints = volumes;
  grid.trMilliseconds = kStudyTrMilliseconds;
  const tolvane::formats::SpatialFrame frame{tolvane::formats::Affine::identity(), 1};
  study.bold = study.folder.file("sub-01_task-sim_bold.nii");
  tolvane::formats::writeVtcNifti(study.bold, grid, frame, data.data(), 1);

  tolvane::formats::MapGeometry geometry{{dims[0], dims[1], dims[2]},
                                         {tolvane::formats::vtcVoxelToWorld(grid, frame), 1}};
  study.truth = study.folder.file("truth_amplitude.nii.gz");
  tolvane::formats::writeFloatMapNifti(study.truth, geometry, truth.data(), {}, 1);
}
