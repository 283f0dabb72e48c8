// What networks cost a run: the default grid (58 x 40 x 46 voxels, 250 volumes, white
// noise of the philox field) with a network of 50 nodes, each a 6 mm sphere, against
// the same study without it, timed in the same process: the truth (node courses and the
// subject's matrix) and the synthesis (noise, effects, and the courses added). The
// written files' compression, which dominates a whole run's time, is left out, so the
// share shown is an upper bound of the network's share of tolvane simulate's run.
//
// Usage: build/bench/network_bench [ROUNDS] (default 7)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "bench/wall_clock.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/study.h"

namespace {

constexpr int kNodes = 50;

std::filesystem::path writeStudy(const std::filesystem::path& folder, bool network) {
  std::ofstream(folder / "events.tsv") << "onset\tduration\ttrial_type\n0\t20\tTask\n60\t20\tTask\n";
  std::string text = "protocol = \"events.tsv\"\nvolumes = 250\n";
  std::string names;
  for (int node = 0; node < kNodes; ++node) {
    // A lattice of 5 x 5 x 2 centres 18 mm apart around the origin.
    const int x = node % 5 - 2, y = (node / 5) % 5 - 2, z = node / 25;
    text += "[[region]]\nname = \"n" + std::to_string(node) + "\"\ncentre_mm = [" +
            std::to_string(18 * x) + ", " + std::to_string(18 * y) + ", " +
            std::to_string(18 * z) + "]\nradius_mm = 6\neffects = { Task = \"1%\" }\n";
    names += (node ? ", \"n" : "\"n") + std::to_string(node) + "\"";
  }
  if (network) {
    text += "[[network]]\nregions = [" + names + "]\ncorrelation = { mean = 0.3, sd = 0.1 }\n"
            "amplitude = \"1%\"\nprofile = { fwhm_mm = 8 }\n";
  }
  const std::filesystem::path file = folder / (network ? "network.toml" : "plain.toml");
  std::ofstream(file) << text;
  return file;
}

// One run's truth and synthesis into storage that earlier runs have touched, as a job
// of tolvane simulate makes its runs.
void makeRun(const tolvane::study::Study& study, int place, std::unique_ptr<float[]>& storage) {
  const tolvane::simulate::Truth truth = tolvane::simulate::runTruth(study, place);
  storage = tolvane::simulate::synthesiseRun(study, truth, place, 1, std::move(storage));
}

}  // namespace

template <typename Work>
double bestOf(int rounds, Work&& work) {
  double best = 1e300;
  for (int round = 0; round < rounds; ++round) {
    best = std::min(best, tolvane::bench::millisecondsOf([&] { work(round); }));
  }
  return best;
}

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("network_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const tolvane::study::Study plain = tolvane::study::loadStudy(writeStudy(folder, false), {});
  const tolvane::study::Study network = tolvane::study::loadStudy(writeStudy(folder, true), {});
  std::filesystem::remove_all(folder);
  using tolvane::simulate::runTruth;
  // Whole runs (truth and synthesis), the two studies in turn so that the machine's
  // wandering speed touches both alike; on a shared machine their difference is mostly
  // that wandering, so the network's own parts are timed alone as well.
  std::unique_ptr<float[]> storage;
  const double without = bestOf(rounds, [&](int place) { makeRun(plain, place, storage); });
  const double with = bestOf(rounds, [&](int place) { makeRun(network, place, storage); });
  const double truthWith = bestOf(rounds, [&](int place) { runTruth(network, place); });
  const double truthWithout = bestOf(rounds, [&](int place) { runTruth(plain, place); });
  const tolvane::simulate::Truth truth = runTruth(network, 0);
  const tolvane::formats::VtcGeometry& g = network.grid;
  const tolvane::simulation::VtcGrid view{storage.get(), g.dimX(),   g.dimY(),
                                          g.dimZ(),      g.timePoints, g.xStart,
                                          g.yStart,      g.zStart,     g.resolution};
  const double adding = bestOf(rounds, [&](int) {
    tolvane::simulate::addNetworkFluctuations(network, truth.networks, truth.regionOffsets, view);
  });
  const double own = (truthWith - truthWithout) + adding;
  std::printf("run without a network    %8.1f ms (truth and synthesis, best of %d)\n", without,
              rounds);
  std::printf("run with 50 nodes        %8.1f ms\n", with);
  std::printf("the network's own work   %8.1f ms: courses and matrix %.1f, adding %.1f\n", own,
              truthWith - truthWithout, adding);
  std::printf("its share of the run     %8.1f %%\n", 100.0 * own / without);
  return 0;
}
