// Times the reference GLM on the default grid (58 x 40 x 46 voxels, 250 volumes of TR
// 2 s, the example block design's two conditions, the default 128 s high-pass: ten
// design columns), one core:
//   read   the .nii.gz series and the events (runGlm's own timing);
//   fit    the pseudo-inverse and the per-voxel fit of every voxel (coefficients and
//          residual variance), the part that one pseudo-inverse makes cheap;
//   maps   fit plus effect, variance, t and p maps of both conditions and Task - Rest
//          (runGlm's own timing, which includes building the design);
//   write  the twelve maps as .nii.gz with their sidecars and the design table;
// and, as the baseline in the same run, numpy.linalg.lstsq on the same design and data
// with one BLAS thread (bench/glm_lstsq_baseline.py, run with /usr/bin/python3). Each
// figure is the best of several rounds; the ratio is fit / lstsq.
//
// Usage: glm_bench [repetitions]   (default 5)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bench/wall_clock.h"
#include "design/design_matrix.h"
#include "formats/nifti/nifti_io.h"
#include "formats/protocols/protocol_files.h"
#include "tolvane/analysis/glm.h"

namespace {

namespace fs = std::filesystem;
using namespace tolvane;

constexpr int kDims[3] = {58, 40, 46};
constexpr int kVolumes = 250;
constexpr double kTrMilliseconds = 2000.0;

// White noise of sd 5 around 100, and 3 times the Task predictor in a sphere of radius
// 2 voxels at the grid's centre, in the VTC layout (time fastest).
void writeStudy(const fs::path& bold, const fs::path& events) {
  const design::Protocol protocol = formats::readProtocolFile(events);
  design::DesignMatrix matrix;
  matrix.addPredictor("Task", kVolumes);
  for (const design::Condition& condition : protocol.conditions) {
    if (condition.name == "Task") {
      matrix.setFromCondition(0, condition, protocol.unit, kTrMilliseconds, 1.0f);
    }
  }
  matrix.applyTwoGammaHrf(0, kTrMilliseconds);
  const std::size_t voxels = std::size_t(kDims[0]) * kDims[1] * kDims[2];
  std::vector<float> data(voxels * kVolumes);
  std::mt19937 generator(1);
  std::normal_distribution<float> noise(0.0f, 5.0f);
  for (float& value : data) value = 100.0f + noise(generator);
  for (int dz = -2; dz <= 2; ++dz) {
    for (int dy = -2; dy <= 2; ++dy) {
      for (int dx = -2; dx <= 2; ++dx) {
        if (dx * dx + dy * dy + dz * dz > 4) continue;
        const std::size_t v =
            (std::size_t(kDims[2] / 2 + dz) * kDims[1] + kDims[1] / 2 + dy) * kDims[0] +
            kDims[0] / 2 + dx;
        for (int t = 0; t < kVolumes; ++t)
          data[v * kVolumes + t] += 3.0f * matrix.volumeValues(0)[t];
      }
    }
  }
  formats::VtcGeometry grid;
  grid.xEnd = 3 * kDims[0];
  grid.yEnd = 3 * kDims[1];
  grid.zEnd = 3 * kDims[2];
  grid.resolution = 3;
  grid.timePoints = kVolumes;
  grid.trMilliseconds = kTrMilliseconds;
  formats::writeVtcNifti(bold, grid, {formats::Affine::identity(), 1}, data.data(),
                         formats::kDefaultGzipLevel);
}

double secondsOf(const auto& work) { return tolvane::bench::millisecondsOf(work) / 1000.0; }

double baselineSeconds(const fs::path& design, const fs::path& bold, int repetitions) {
  const std::string command =
      "OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1 "
      "/usr/bin/python3 " TOLVANE_SOURCE_DIR "/bench/glm_lstsq_baseline.py '" +
      design.string() + "' '" + bold.string() + "' " + std::to_string(repetitions);
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::numeric_limits<double>::quiet_NaN();
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  ::pclose(pipe);
  const char* field = read ? std::strstr(line, "\"lstsq_seconds\": ") : nullptr;
  return field ? std::atof(field + 17) : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const fs::path folder = fs::temp_directory_path() / ("glm-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path events = folder / "sub-01_task-sim_events.tsv";
  fs::copy_file(TOLVANE_SOURCE_DIR "/examples/block_design_events.tsv", events);
  const fs::path bold = folder / "sub-01_task-sim_bold.nii.gz";
  std::printf("simulating %d x %d x %d x %d ...\n", kDims[0], kDims[1], kDims[2], kVolumes);
  writeStudy(bold, events);

  analysis::GlmRequest request;
  request.bold = bold;
  request.outputFolder = folder / "glm";
  request.contrasts = {"Task - Rest"};
  const analysis::Progress quiet = [](const std::string&) {};
  double read = 1e30, maps = 1e30, write = 1e30, fit = 1e30;
  for (int round = 0; round < repetitions; ++round) {
    const analysis::GlmSummary summary = analysis::runGlm(request, quiet);
    read = std::min(read, summary.readSeconds);
    maps = std::min(maps, summary.fitSeconds);
    write = std::min(write, summary.writeSeconds);
  }
  const formats::FloatSeries series = formats::readFloatSeries(bold);
  const analysis::GlmDesign design =
      analysis::buildGlmDesign(formats::readProtocolFile(events), events, kVolumes,
                               series.trSeconds, request.highpassSeconds);
  for (int round = 0; round < repetitions; ++round) {
    fit = std::min(
        fit, secondsOf([&] {
          const auto model = analysis::makeLeastSquaresModel(
              design.values, kVolumes, int(design.columnCount()), design.columnCount() - 1, 0.0);
          analysis::fitVoxels(*model, series.values.data(), series.geometry.voxelCount(), false);
        }));
  }
  const double lstsq =
      baselineSeconds(folder / "glm" / "sub-01_task-sim_design.tsv", bold, repetitions);

  std::printf("voxels %zu, volumes %d, design columns %zu, best of %d rounds\n",
              series.geometry.voxelCount(), kVolumes, design.columnCount(), repetitions);
  std::printf("read   %8.3f s  (.nii.gz series and events)\n", read);
  std::printf("fit    %8.3f s  (pseudo-inverse and per-voxel fit)\n", fit);
  std::printf("maps   %8.3f s  (design, fit, and effect/variance/t/p of 3 contrasts)\n", maps);
  std::printf("write  %8.3f s  (12 maps .nii.gz, sidecars, design table)\n", write);
  std::printf("numpy.linalg.lstsq %8.3f s  (same design and data, one BLAS thread)\n", lstsq);
  std::printf("ratio fit / lstsq  %8.3f\n", fit / lstsq);
  std::printf("ratio maps / lstsq %8.3f\n", maps / lstsq);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
