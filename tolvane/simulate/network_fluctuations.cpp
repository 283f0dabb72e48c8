// Network fluctuations of a run; see network_fluctuations.h.
#include "tolvane/simulate/network_fluctuations.h"

#include <cmath>
#include <numbers>

#include "engine/counter_noise.h"
#include "formats/affine.h"
#include "tolvane/study/correlation_matrix.h"
#include "tolvane/study/study_random.h"

namespace tolvane::simulate {
namespace {

// cos and sin of 2 pi m / N, m = 0 .. N - 1: every phase of the courses' terms is one
// of them, 2 pi (k t mod N) / N, so a run computes N of each rather than K N.
struct PhaseTable {
  std::vector<double> cosine, sine;
};

PhaseTable phaseTable(int volumes) {
  PhaseTable table;
  const double step = 2.0 * std::numbers::pi / volumes;
  for (int m = 0; m < volumes; ++m) {
    table.cosine.push_back(std::cos(step * m));
    table.sine.push_back(std::sin(step * m));
  }
  return table;
}

// The independent unit-variance course of node g in run `runPlace`.
std::vector<double> independentCourse(const study::Study& study, int runPlace, std::size_t node,
                                      const std::vector<int>& frequencies,
                                      const PhaseTable& phases) {
  const int volumes = study.grid.timePoints;
  study::DrawSequence draws(study.seed, static_cast<std::uint32_t>(runPlace),
                            engine::kNetworkStream, static_cast<std::uint32_t>(node));
  std::vector<double> course(static_cast<std::size_t>(volumes), 0.0);
  const double scale = 1.0 / std::sqrt(static_cast<double>(frequencies.size()));
  for (const int k : frequencies) {
    const double a = draws.nextNormal();
    const double b = draws.nextNormal();
    for (int t = 0; t < volumes; ++t) {
      const auto m = static_cast<std::size_t>((static_cast<std::int64_t>(k) * t) % volumes);
      course[static_cast<std::size_t>(t)] += a * phases.cosine[m] + b * phases.sine[m];
    }
  }
  for (double& value : course) value *= scale;
  return course;
}

// The weight of each voxel of region r (moved by `offset`), and the voxels.
void regionWeights(const study::Study& study, std::size_t r, const std::array<int, 3>& offset,
                   const study::Network& network, std::vector<std::int64_t>& voxels,
                   std::vector<float>& weights) {
  const study::Region& region = study.regions[r];
  const std::int64_t dims[3] = {study.grid.dimX(), study.grid.dimY(), study.grid.dimZ()};
  const formats::Affine toWorld =
      formats::compose(study.frame.voxelToWorld, study.grid.gridToVmr());
  std::array<double, 3> centre = region.centreMm;
  for (int axis = 0; axis < 3; ++axis) {
    for (int k = 0; k < 3; ++k) centre[axis] += toWorld.m[axis][k] * offset[k];
  }
  voxels.clear();
  weights.clear();
  for (const std::int64_t v : region.voxels) {
    std::int64_t at[3] = {v % dims[0], (v / dims[0]) % dims[1], v / (dims[0] * dims[1])};
    bool inside = true;
    for (int axis = 0; axis < 3; ++axis) {
      at[axis] += offset[static_cast<std::size_t>(axis)];
      inside = inside && at[axis] >= 0 && at[axis] < dims[axis];
    }
    if (!inside) continue;
    const std::int64_t voxel = (at[2] * dims[1] + at[1]) * dims[0] + at[0];
    double weight = 1.0;
    if (network.fwhmMm) {
      const formats::Point3 world =
          formats::transformPoint(toWorld, {double(at[0]), double(at[1]), double(at[2])});
      double squared = 0.0;
      for (int axis = 0; axis < 3; ++axis) {
        squared += (world[axis] - centre[axis]) * (world[axis] - centre[axis]);
      }
      weight = std::exp(-4.0 * std::numbers::ln2 * squared / (*network.fwhmMm * *network.fwhmMm));
    }
    if (network.percentOfBaseline && study.baselineImage) {
      const study::VoxelLevelMaps& levels = *study.voxelLevels;
      weight *= levels.baseline[static_cast<std::size_t>(voxel)] / levels.meanBaselineInMask;
    }
    voxels.push_back(voxel);
    weights.push_back(static_cast<float>(weight));
  }
}

}  // namespace

NetworkRunTruth networkRunTruth(const study::Study& study, int runPlace) {
  NetworkRunTruth truth;
  std::size_t total = 0;
  for (const study::Network& network : study.networks) total += network.nodes.size();
  truth.correlation.assign(total * total, 0.0);
  const int subject = runPlace / study.runs + 1;
  const double tr = study.grid.trMilliseconds / 1000.0;
  const PhaseTable phases = phaseTable(study.grid.timePoints);
  std::size_t first = 0;  // the network's first node among all
  for (std::size_t n = 0; n < study.networks.size(); ++n) {
    const study::Network& network = study.networks[n];
    const std::size_t size = network.nodes.size();
    const std::vector<double> r = study::subjectCorrelation(study, n, subject);
    // The matrix was checked (or pulled towards the checked one), so it has a factor.
    const std::vector<double> factor = *study::correlationFactor(r, size);
    const std::vector<int> frequencies =
        study::bandFrequencies(study.grid.timePoints, tr, network.bandLowHz, network.bandHighHz);
    std::vector<std::vector<double>> independent;
    for (std::size_t j = 0; j < size; ++j) {
      independent.push_back(independentCourse(study, runPlace, first + j, frequencies, phases));
    }
    for (std::size_t i = 0; i < size; ++i) {
      std::vector<float> course(static_cast<std::size_t>(study.grid.timePoints));
      for (std::size_t t = 0; t < course.size(); ++t) {
        double mixed = 0.0;
        for (std::size_t j = 0; j <= i; ++j) mixed += factor[i * size + j] * independent[j][t];
        course[t] = static_cast<float>(network.amplitude * mixed);
      }
      truth.courses.push_back(std::move(course));
      truth.nodeNames.push_back(study.regions[network.nodes[i]].name);
      truth.nodeRegions.push_back(network.nodes[i]);
      for (std::size_t j = 0; j < size; ++j) {
        truth.correlation[(first + i) * total + first + j] = r[i * size + j];
      }
    }
    first += size;
  }
  return truth;
}

void addNetworkFluctuations(const study::Study& study, const NetworkRunTruth& truth,
                            const std::vector<std::array<int, 3>>& offsets,
                            const simulation::VtcGrid& grid) {
  std::vector<std::int64_t> voxels;
  std::vector<float> weights;
  std::size_t node = 0;
  for (const study::Network& network : study.networks) {
    for (const std::size_t r : network.nodes) {
      regionWeights(study, r, offsets[r], network, voxels, weights);
      const std::vector<float>& x = truth.courses[node++];
      for (std::size_t i = 0; i < voxels.size(); ++i) {
        float* course = grid.data + voxels[i] * grid.timePoints;
        const float w = weights[i];
        for (int t = 0; t < grid.timePoints; ++t) {
          course[t] = course[t] + w * x[static_cast<std::size_t>(t)];
        }
      }
    }
  }
}

}  // namespace tolvane::simulate
