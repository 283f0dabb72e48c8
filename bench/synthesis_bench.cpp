// Times the passes that fill a VTC, in one process, on the default grid and on a
// larger one:
//   (a) a plain noise pass: one gasdev call per value, in the pass's loop order;
//   (b) the module's noise pass, the code the run uses, on the fastest vector path
//       this processor has, and on its other paths as well;
//   (c) the standard library's normal_distribution<float> over minstd_rand0 filling
//       the same layout in the same order;
// and the sphere and VOI signal passes. Each figure is the best of several runs, and
// the report gives the ratios b/a and b/c. The three passes write into anonymous
// memory advised for transparent huge pages, its pages touched once before the timing
// starts; (a) and (b) then run again on plain storage (ordinary pages, as hvhost's
// populated storage and a host's std::vector have it), and on the finest grid of
// the default box (resolution 1) in both kinds. (b) must be bit-identical to (a), with the
// generator left in the same state; any difference fails loudly (exit status 1).
//
// Usage: synthesis_bench [repetitions]   (default 5)
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/plain_noise_pass.h"
#include "bench/wall_clock.h"
#include "numerics/random.h"
#include "numerics/random_state.h"
#include "simulation/synthesis.h"

namespace {

using tolvane::random::GeneratorState;
using tolvane::random::generatorState;
using tolvane::simulation::VtcGrid;

constexpr tolvane::simulation::Levels kLevels{100.0f, 5.0f};

}  // namespace

namespace {

// VTC storage advised for transparent huge pages; or of ordinary pages, as hvhost's
// populated storage (host/session/vtc_document.h) and a plain vector of floats have it
// (4 KiB pages unless the system gives huge pages to everything). Touched once.
class VtcStorage {
 public:
  VtcStorage(std::size_t values, bool hugePages)
      : mappedBytes_(values * sizeof(float) + kHugePageBytes) {
    mapping_ =
        ::mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
      std::perror("synthesis_bench: mmap");
      std::exit(2);
    }
    const std::uintptr_t start =
        (reinterpret_cast<std::uintptr_t>(mapping_) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    data_ = reinterpret_cast<float*>(start);
    if (hugePages) ::madvise(data_, values * sizeof(float), MADV_HUGEPAGE);
    std::memset(data_, 0, values * sizeof(float));
  }
  ~VtcStorage() { ::munmap(mapping_, mappedBytes_); }
  VtcStorage(const VtcStorage&) = delete;
  VtcStorage& operator=(const VtcStorage&) = delete;
  float* data() const { return data_; }

 private:
  static constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;
  std::size_t mappedBytes_;
  void* mapping_;
  float* data_;
};

struct Grid {
  const char* name;
  int xStart, xEnd, yStart, yEnd, zStart, zEnd, resolution, timePoints;
  int dim(int start, int end) const { return (end - start) / resolution; }
};

double best(int repetitions, const auto& prepare, const auto& work) {
  double fastest = 1e300;
  for (int i = 0; i < repetitions; ++i) {
    prepare();
    fastest = std::min(fastest, tolvane::bench::millisecondsOf(work));
  }
  return fastest;
}

// (c): the standard library's generator and distribution, same layout and order.
void standardLibraryNoisePass(float* data, std::int64_t voxels, int nT) {
  std::minstd_rand0 engine(1);
  std::normal_distribution<float> normal(100.0f, 5.0f);
  for (int t = 0; t < nT; ++t)
    for (std::int64_t v = 0; v < voxels; ++v) data[v * nT + t] = normal(engine);
}

// The kept deviate only counts while one is pending: otherwise no call can return it.
bool sameState(const GeneratorState& a, const GeneratorState& b) {
  return std::memcmp(a.table, b.table, sizeof a.table) == 0 && a.previous == b.previous &&
         a.deviatePending == b.deviatePending &&
         (!a.deviatePending ||
          std::memcmp(&a.pendingDeviate, &b.pendingDeviate, sizeof(float)) == 0);
}

// What a grid's report holds: the storage kind, and whether the module's pass runs on
// every vector path (else only the fastest), (c) and the signal passes are timed.
struct Rows {
  bool hugePages = true;
  bool everyPath = true;
  bool peerAndSignals = true;
};

bool benchmarkGrid(const Grid& g, int repetitions, const Rows& rows) {
  const int dimX = g.dim(g.xStart, g.xEnd), dimY = g.dim(g.yStart, g.yEnd),
            dimZ = g.dim(g.zStart, g.zEnd), nT = g.timePoints;
  const std::int64_t voxels = static_cast<std::int64_t>(dimX) * dimY * dimZ;
  const std::size_t values = static_cast<std::size_t>(voxels) * nT;
  std::printf(
      "\n%s grid: %d x %d x %d voxels, %d time points, %.1f million values (%.0f MiB), "
      "%s\n",
      g.name, dimX, dimY, dimZ, nT, values / 1e6, values * 4.0 / (1 << 20),
      rows.hugePages ? "huge pages" : "plain storage");

  VtcStorage plain(values, rows.hugePages), module(values, rows.hugePages);
  std::unique_ptr<VtcStorage> peer;
  if (rows.peerAndSignals) peer = std::make_unique<VtcStorage>(values, rows.hugePages);
  const VtcGrid grid{module.data(), dimX,     dimY,     dimZ,        nT,
                     g.xStart,      g.yStart, g.zStart, g.resolution};
  const auto fresh = [] { generatorState() = GeneratorState{}; };
  // Progress is reported as in the plug-in's run, to a callback that here does nothing.
  const auto ignoreProgress = [](int, int) {};

  // The three passes take turns, so that a busy moment on a shared machine slows one
  // round of all three rather than one of them.
  // The module's pass runs on every vector path this processor has, the fastest
  // first; that one is (b).
  using tolvane::cpu::VectorPath;
  std::vector<VectorPath> paths = tolvane::cpu::availableVectorPaths();
  std::reverse(paths.begin(), paths.end());
  if (!rows.everyPath) paths.resize(1);
  std::vector<double> moduleTimes(paths.size(), 1e300);
  std::vector<bool> pathIdentical(paths.size(), true);
  int plainSeed = 0;
  GeneratorState afterPlain;
  double a = 1e300, c = 1e300;
  for (int round = 0; round < repetitions; ++round) {
    fresh();
    a = std::min(a, tolvane::bench::millisecondsOf([&] {
                   plainSeed = -1;
                   tolvane::bench::plainNoisePass(plain.data(), dimX, dimY, dimZ, nT, &plainSeed);
                 }));
    afterPlain = generatorState();
    for (std::size_t p = 0; p < paths.size(); ++p) {
      fresh();
      int seed = -1;
      moduleTimes[p] =
          std::min(moduleTimes[p], tolvane::bench::millisecondsOf([&] {
                     tolvane::simulation::fillNoise(grid, kLevels, {generatorState(), &seed},
                                                    ignoreProgress, paths[p]);
                   }));
      pathIdentical[p] = pathIdentical[p] &&
                         std::memcmp(plain.data(), module.data(), values * sizeof(float)) == 0 &&
                         sameState(afterPlain, generatorState()) && seed == plainSeed;
    }
    if (peer) {
      c = std::min(c, tolvane::bench::millisecondsOf(
                          [&] { standardLibraryNoisePass(peer->data(), voxels, nT); }));
    }
  }

  const double b = moduleTimes[0];
  bool identical = true;
  for (const bool same : pathIdentical) identical = identical && same;
  const double nsPerValue = 1e6 / static_cast<double>(values);
  std::printf("  (a) plain noise pass, one gasdev call per value   %8.1f ms  %5.2f ns/value\n", a,
              a * nsPerValue);
  const std::string label =
      std::string("(b) module noise pass, ") + tolvane::cpu::nameOf(paths[0]);
  std::printf("  %-50s %8.1f ms  %5.2f ns/value\n", label.c_str(), b, b * nsPerValue);
  if (peer) {
    std::printf("  (c) normal_distribution<float> over minstd_rand0   %8.1f ms\n", c);
    std::printf("  b/a = %.3f   b/c = %.3f   (b) bit-identical to (a): %s\n", b / a, b / c,
                pathIdentical[0] ? "yes" : "NO");
  } else {
    std::printf("  b/a = %.3f   (b) bit-identical to (a): %s\n", b / a,
                pathIdentical[0] ? "yes" : "NO");
  }
  for (std::size_t p = 1; p < paths.size(); ++p) {
    const std::string pathLabel =
        std::string("(b) on the ") + tolvane::cpu::nameOf(paths[p]) + " path";
    std::printf("  %-50s %8.1f ms\n", pathLabel.c_str(), moduleTimes[p]);
    std::printf("  b/a = %.3f   b/c = %.3f   bit-identical to (a): %s\n", moduleTimes[p] / a,
                moduleTimes[p] / c, pathIdentical[p] ? "yes" : "NO");
  }

  if (!rows.peerAndSignals) {
    if (!identical) {
      std::fprintf(stderr, "FAILED: the module's noise pass differs on the %s grid\n", g.name);
    }
    return identical;
  }
  const std::vector<float> effect(static_cast<std::size_t>(nT), 1.5f);
  const int cx = (g.xStart + g.xEnd) / 2, cy = (g.yStart + g.yEnd) / 2,
            cz = (g.zStart + g.zEnd) / 2;
  const double sphere = best(
      repetitions, [] {},
      [&] {
        int seed = 7;
        tolvane::simulation::fillSphereSignal(grid, cx, cy, cz, effect.data(), kLevels,
                                              {generatorState(), &seed});
      });
  // A VOI of 1000 voxels spread over the bounding box.
  std::vector<std::int32_t> voiVoxels;
  for (int i = 0; i < 1000; ++i) {
    voiVoxels.push_back(g.xStart + (i * 7) % (g.xEnd - g.xStart));
    voiVoxels.push_back(g.yStart + (i * 13) % (g.yEnd - g.yStart));
    voiVoxels.push_back(g.zStart + (i * 29) % (g.zEnd - g.zStart));
  }
  const double voi = best(
      repetitions, [] {},
      [&] {
        int seed = 7;
        tolvane::simulation::fillVoxelListSignal(grid, voiVoxels.data(), 1000, {}, effect.data(),
                                                 kLevels, {generatorState(), &seed});
      });
  std::printf("  sphere signal pass (33 voxels)                     %8.3f ms\n", sphere);
  std::printf("  VOI signal pass (1000 voxels)                      %8.3f ms\n", voi);
  if (!identical)
    std::fprintf(stderr,
                 "FAILED: the module's noise pass differs from one gasdev call per value "
                 "on the %s grid\n",
                 g.name);
  return identical;
}

}  // namespace

// Usage: synthesis_bench [ROUNDS] [--default-only]
int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const bool defaultOnly = argc > 2 && std::strcmp(argv[2], "--default-only") == 0;
  std::printf("Noise and signal passes, best of %d runs each\n", repetitions);
  const Grid grids[] = {
      {"Default", 57, 231, 52, 172, 59, 197, 3, 250},
      {"Larger (2 mm)", 57, 231, 52, 172, 59, 197, 2, 250},
  };
  bool allIdentical = true;
  for (const Grid& g : grids) {
    allIdentical = benchmarkGrid(g, repetitions, {}) && allIdentical;
    allIdentical = benchmarkGrid(g, repetitions, {false, false, false}) && allIdentical;
    if (defaultOnly) return allIdentical ? 0 : 1;
  }
  // The whole default box at resolution 1: 720 million values (2.7 GiB a storage); a
  // plain loop over it takes some 25 s, so it gets at most two rounds, fastest path only.
  const Grid finest{"Finest (1 mm)", 57, 231, 52, 172, 59, 197, 1, 250};
  const int finestRounds = std::min(repetitions, 2);
  allIdentical = benchmarkGrid(finest, finestRounds, {true, false, false}) && allIdentical;
  allIdentical = benchmarkGrid(finest, finestRounds, {false, false, false}) && allIdentical;
  return allIdentical ? 0 : 1;
}
