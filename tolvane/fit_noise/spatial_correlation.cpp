// Measuring and fitting the spatial autocorrelation; see spatial_correlation.h.
#include "tolvane/fit_noise/spatial_correlation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#include "formats/affine.h"
#include "formats/threads.h"

namespace tolvane::fit_noise {
namespace {

constexpr int kFitGridSteps = 48;
constexpr double kFitSmallestMm = 0.1, kFitLargestMm = 100.0;
constexpr int kRefinements = 3;
// How far out the Gaussian equivalent is matched, at most.
constexpr double kEquivalentLargestMm = 1000.0;

double distance(const formats::Affine& a, int dx, int dy, int dz) {
  const formats::Point3 step = formats::transformVector(a, {double(dx), double(dy), double(dz)});
  double squares = 0.0;
  for (const double component : step) squares += component * component;
  return std::sqrt(squares);
}

// The best a in [0, 1] for given b and c, and the misfit it leaves.
double misfitAt(const std::vector<SpatialLag>& lags, const std::vector<double>& correlations,
                double b, double c, double& a) {
  double numerator = 0.0, denominator = 0.0;
  for (std::size_t i = 0; i < lags.size(); ++i) {
    const double r = lags[i].distanceMm;
    const double g = std::exp(-r * r / (2.0 * b * b)), e = std::exp(-r / c);
    numerator += (correlations[i] - e) * (g - e);
    denominator += (g - e) * (g - e);
  }
  a = denominator > 0.0 ? std::clamp(numerator / denominator, 0.0, 1.0) : 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < lags.size(); ++i) {
    const double difference = correlations[i] - mixedAcf(a, b, c, lags[i].distanceMm);
    sum += difference * difference;
  }
  return sum;
}

}  // namespace

SpatialSums& SpatialSums::operator+=(const SpatialSums& other) {
  for (std::size_t i = 0; i < products.size(); ++i) {
    products[i] += other.products[i];
    pairs[i] += other.pairs[i];
  }
  return *this;
}

SpatialSums& SpatialSums::operator-=(const SpatialSums& other) {
  for (std::size_t i = 0; i < products.size(); ++i) {
    products[i] -= other.products[i];
    pairs[i] -= other.pairs[i];
  }
  return *this;
}

std::vector<SpatialLag> spatialLags(const formats::Affine& voxelToWorld) {
  std::vector<SpatialLag> lags;
  const int axes[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (const auto& axis : axes) {
    for (int step = 1; step <= kAxisLags; ++step) {
      lags.push_back({axis[0] * step, axis[1] * step, axis[2] * step, 0.0});
    }
  }
  const int diagonals[10][3] = {{1, 1, 0},  {1, -1, 0}, {1, 0, 1},  {1, 0, -1}, {0, 1, 1},
                                {0, 1, -1}, {1, 1, 1},  {1, -1, 1}, {1, 1, -1}, {1, -1, -1}};
  for (const auto& diagonal : diagonals) {
    for (int step = 1; step <= kDiagonalLags; ++step) {
      lags.push_back({diagonal[0] * step, diagonal[1] * step, diagonal[2] * step, 0.0});
    }
  }
  for (SpatialLag& lag : lags) lag.distanceMm = distance(voxelToWorld, lag.dx, lag.dy, lag.dz);
  return lags;
}

std::vector<SpatialSums> spatialLagSums(const formats::FloatSeries& residuals,
                                        const std::vector<float>& scale,
                                        const std::vector<int>& groupOfSlice,
                                        const std::vector<SpatialLag>& lags,
                                        const std::vector<int>& volumes, unsigned threads) {
  const auto dimX = static_cast<int>(residuals.geometry.dims[0]);
  const auto dimY = static_cast<int>(residuals.geometry.dims[1]);
  const auto dimZ = static_cast<int>(residuals.geometry.dims[2]);
  const std::size_t voxels = residuals.geometry.voxelCount();
  const int groups = groupOfSlice.empty() ? 1 : groupOfSlice.back() + 1;
  std::vector<SpatialSums> sums(
      groups, {std::vector<double>(lags.size(), 0.0), std::vector<double>(lags.size(), 0.0)});
  // Pair counts do not depend on the volume; products are summed over volumes per lag.
  std::vector<float> scaled(voxels);
  std::mutex merge;
  if (threads == 0) threads = formats::usableCores();
  std::atomic<std::size_t> next{0};
  // Pairs depend on the mask alone; products are those of the scaled residuals, which
  // are 0 outside the voxels used, so the inner loop is a plain dot product of rows.
  const auto forEachRow = [&](const SpatialLag& lag, auto&& row) {
    for (int z = std::max(0, -lag.dz); z < dimZ && z + lag.dz < dimZ; ++z) {
      for (int y = std::max(0, -lag.dy); y < dimY && y + lag.dy < dimY; ++y) {
        const std::size_t from = (static_cast<std::size_t>(z) * dimY + y) * dimX;
        const std::size_t to = (static_cast<std::size_t>(z + lag.dz) * dimY + (y + lag.dy)) * dimX;
        const int x0 = std::max(0, -lag.dx), x1 = std::min(dimX, dimX - lag.dx);
        row(z, from + x0, to + x0 + lag.dx, static_cast<std::size_t>(std::max(0, x1 - x0)));
      }
    }
  };
  for (std::size_t l = 0; l < lags.size(); ++l) {
    forEachRow(lags[l], [&](int z, std::size_t from, std::size_t to, std::size_t length) {
      double pairs = 0.0;
      for (std::size_t i = 0; i < length; ++i)
        pairs += scale[from + i] != 0.0f && scale[to + i] != 0.0f;
      sums[groupOfSlice[z]].pairs[l] += pairs;
    });
  }
  for (std::size_t v = 0; v < volumes.size(); ++v) {
    const float* volume = residuals.values.data() + static_cast<std::size_t>(volumes[v]) * voxels;
    for (std::size_t i = 0; i < voxels; ++i) scaled[i] = volume[i] * scale[i];
    next = 0;
    const auto work = [&]() {
      std::vector<SpatialSums> local(
          groups, {std::vector<double>(lags.size(), 0.0), std::vector<double>(lags.size(), 0.0)});
      for (std::size_t l = next++; l < lags.size(); l = next++) {
        forEachRow(lags[l], [&](int z, std::size_t from, std::size_t to, std::size_t length) {
          // Four partial sums, each in order, so the additions need not wait on one another.
          double partial[4] = {0.0, 0.0, 0.0, 0.0};
          std::size_t i = 0;
          for (; i + 4 <= length; i += 4) {
            for (int lane = 0; lane < 4; ++lane) {
              partial[lane] += static_cast<double>(scaled[from + i + lane]) * scaled[to + i + lane];
            }
          }
          for (; i < length; ++i)
            partial[0] += static_cast<double>(scaled[from + i]) * scaled[to + i];
          local[groupOfSlice[z]].products[l] +=
              (partial[0] + partial[1]) + (partial[2] + partial[3]);
        });
      }
      const std::lock_guard<std::mutex> lock(merge);
      for (int g = 0; g < groups; ++g) sums[g] += local[g];
    };
    formats::onThreads(threads, [&](unsigned) { work(); });
  }
  return sums;
}

double mixedAcf(double a, double bMm, double cMm, double rMm) {
  const double gaussian = bMm > 0.0 ? std::exp(-rMm * rMm / (2.0 * bMm * bMm)) : (rMm == 0.0);
  const double exponential = cMm > 0.0 ? std::exp(-rMm / cMm) : (rMm == 0.0);
  return a * gaussian + (1.0 - a) * exponential;
}

MixedAcf fitMixedAcf(const std::vector<SpatialLag>& lags, const std::vector<double>& correlations) {
  MixedAcf fit;
  if (lags.size() < 3) return fit;  // three parameters
  for (double value : correlations) {
    if (!std::isfinite(value)) return fit;
  }
  double logLow = std::log(kFitSmallestMm), logHigh = std::log(kFitLargestMm);
  double logLowC = logLow, logHighC = logHigh;
  double best = INFINITY, bestB = 0.0, bestC = 0.0, bestA = 0.0;
  for (int round = 0; round <= kRefinements; ++round) {
    const double stepB = (logHigh - logLow) / (kFitGridSteps - 1);
    const double stepC = (logHighC - logLowC) / (kFitGridSteps - 1);
    for (int i = 0; i < kFitGridSteps; ++i) {
      const double b = std::exp(logLow + i * stepB);
      for (int j = 0; j < kFitGridSteps; ++j) {
        const double c = std::exp(logLowC + j * stepC);
        double a = 0.0;
        const double value = misfitAt(lags, correlations, b, c, a);
        if (value < best) {
          best = value;
          bestA = a;
          bestB = b;
          bestC = c;
        }
      }
    }
    logLow = std::log(bestB) - 2.0 * stepB;
    logHigh = std::log(bestB) + 2.0 * stepB;
    logLowC = std::log(bestC) - 2.0 * stepC;
    logHighC = std::log(bestC) + 2.0 * stepC;
  }
  fit.usable = true;
  fit.a = bestA;
  fit.bMm = bestB;
  fit.cMm = bestC;
  fit.misfit = best;
  fit.fwhmMm = gaussianEquivalentFwhm(bestA, bestB, bestC);
  return fit;
}

double gaussianEquivalentFwhm(double a, double bMm, double cMm) {
  // How far out to match: where the mixed autocorrelation falls to the floor.
  double low = 0.0, high = kEquivalentLargestMm;
  for (int i = 0; i < 100; ++i) {
    const double middle = 0.5 * (low + high);
    (mixedAcf(a, bMm, cMm, middle) > kEquivalentFloor ? low : high) = middle;
  }
  const double range = high;
  const auto misfit = [&](double beta) {
    double sum = 0.0;
    for (int i = 0; i <= kEquivalentSamples; ++i) {
      const double r = range * i / kEquivalentSamples;
      const double difference = mixedAcf(a, bMm, cMm, r) - std::exp(-r * r / (2.0 * beta * beta));
      sum += difference * difference;
    }
    return sum;
  };
  // Golden-section search on beta between a hundredth and twice the range.
  const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
  double x0 = range * 0.01, x3 = range * 2.0;
  double x1 = x3 - ratio * (x3 - x0), x2 = x0 + ratio * (x3 - x0);
  double f1 = misfit(x1), f2 = misfit(x2);
  for (int i = 0; i < 100; ++i) {
    if (f1 < f2) {
      x3 = x2;
      x2 = x1;
      f2 = f1;
      x1 = x3 - ratio * (x3 - x0);
      f1 = misfit(x1);
    } else {
      x0 = x1;
      x1 = x2;
      f1 = f2;
      x2 = x0 + ratio * (x3 - x0);
      f2 = misfit(x2);
    }
  }
  return std::sqrt(4.0 * std::log(2.0)) * 0.5 * (x1 + x2);
}

}  // namespace tolvane::fit_noise
