// The residual pass: blocks of neighbouring voxels gathered from the volume-major
// series, fitted, and written back; see residual_pass.h.
#include "tolvane/fit_noise/residual_pass.h"

#include "formats/threads.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

namespace tolvane::fit_noise {
namespace {

// Voxels gathered at a time: 64 neighbouring floats of a volume are a few cache lines.
constexpr std::size_t kBlockVoxels = 64;
constexpr int kMaxGroups = 8;
constexpr int kProgressSteps = 10;

struct FftwRealFree {
  void operator()(double* p) const { fftw_free(p); }
};
struct FftwComplexFree {
  void operator()(fftw_complex* p) const { fftw_free(p); }
};

// What one thread accumulates; merged under a lock at its end.
struct ThreadSums {
  std::vector<TemporalSums> groups;
  std::vector<std::vector<double>> periodogram;
};

}  // namespace

TemporalSums& TemporalSums::operator+=(const TemporalSums& other) {
  voxels += other.voxels;
  meanSquares += other.meanSquares;
  residualSquares += other.residualSquares;
  driftSquares += other.driftSquares;
  for (int k = 0; k <= kMaxLag; ++k) lagProducts[k] += other.lagProducts[k];
  return *this;
}

TemporalSums& TemporalSums::operator-=(const TemporalSums& other) {
  voxels -= other.voxels;
  meanSquares -= other.meanSquares;
  residualSquares -= other.residualSquares;
  driftSquares -= other.driftSquares;
  for (int k = 0; k <= kMaxLag; ++k) lagProducts[k] -= other.lagProducts[k];
  return *this;
}

std::vector<int> sliceGroups(int dimZ) {
  const int groups = std::min(kMaxGroups, dimZ);
  std::vector<int> groupOfSlice(static_cast<std::size_t>(dimZ));
  for (int z = 0; z < dimZ; ++z) groupOfSlice[z] = z * groups / dimZ;
  return groupOfSlice;
}

ResidualPass removeTemporalModel(formats::FloatSeries& series, const TemporalDesign& design,
                                 const std::vector<std::uint8_t>& mask, unsigned threads,
                                 const analysis::Progress& progress) {
  const std::size_t voxels = series.geometry.voxelCount();
  const int volumes = design.volumes;
  const std::size_t columns = design.columnCount();
  const std::size_t slab =
      static_cast<std::size_t>(series.geometry.dims[0] * series.geometry.dims[1]);
  const int frequencies = volumes / 2 + 1;

  ResidualPass pass;
  pass.mean.assign(voxels, 0.0f);
  pass.residualSquares.assign(voxels, 0.0f);
  pass.groupOfSlice = sliceGroups(static_cast<int>(series.geometry.dims[2]));
  const int groupCount = pass.groupOfSlice.back() + 1;
  pass.groups.assign(groupCount, {});
  pass.periodogram.assign(groupCount, std::vector<double>(frequencies, 0.0));

  // Planning is not thread-safe; executing a plan on other arrays of the same
  // alignment is.
  std::unique_ptr<double, FftwRealFree> planIn(fftw_alloc_real(volumes));
  std::unique_ptr<fftw_complex, FftwComplexFree> planOut(fftw_alloc_complex(frequencies));
  const fftw_plan plan = fftw_plan_dft_r2c_1d(volumes, planIn.get(), planOut.get(), FFTW_ESTIMATE);

  if (threads == 0) threads = formats::usableCores();
  const std::size_t blocks = (voxels + kBlockVoxels - 1) / kBlockVoxels;
  std::atomic<std::size_t> nextBlock{0}, blocksDone{0};
  std::mutex merge;

  const auto work = [&](unsigned thread) {
    ThreadSums sums{
        std::vector<TemporalSums>(groupCount),
        std::vector<std::vector<double>>(groupCount, std::vector<double>(frequencies, 0.0))};
    // The block holds time point t of voxel j at [t * kBlockVoxels + j]: every step
    // below runs over the block's voxels side by side, each voxel's sums still in
    // time order.
    constexpr std::size_t B = kBlockVoxels;
    std::vector<double> block(B * volumes), coefficients(B * columns);
    std::vector<double> means(B), squares(B), drift(B), lagProducts(B * (kMaxLag + 1));
    std::unique_ptr<double, FftwRealFree> in(fftw_alloc_real(volumes));
    std::unique_ptr<fftw_complex, FftwComplexFree> out(fftw_alloc_complex(frequencies));
    const int lags = std::min(kMaxLag, volumes - 1);
    int reported = 0;
    for (std::size_t b = nextBlock++; b < blocks; b = nextBlock++) {
      const std::size_t first = b * B;
      const std::size_t count = std::min(B, voxels - first);
      std::fill(block.begin(), block.end(), 0.0);
      for (int t = 0; t < volumes; ++t) {
        const float* volume = series.values.data() + static_cast<std::size_t>(t) * voxels + first;
        double* row = block.data() + t * B;
        for (std::size_t j = 0; j < count; ++j) row[j] = volume[j];
      }
      std::fill(means.begin(), means.end(), 0.0);
      for (int t = 0; t < volumes; ++t) {
        const double* row = block.data() + t * B;
        for (std::size_t j = 0; j < B; ++j) means[j] += row[j];
      }
      for (std::size_t j = 0; j < B; ++j) means[j] /= volumes;
      std::fill(coefficients.begin(), coefficients.end(), 0.0);
      for (std::size_t c = 0; c < columns; ++c) {
        const double* q = design.column(c);
        double* beta = coefficients.data() + c * B;
        for (int t = 0; t < volumes; ++t) {
          const double* row = block.data() + t * B;
          for (std::size_t j = 0; j < B; ++j) beta[j] += q[t] * row[j];
        }
      }
      std::fill(drift.begin(), drift.end(), 0.0);
      for (std::size_t c = design.firstCosine(); c < columns; ++c) {
        const double* beta = coefficients.data() + c * B;
        for (std::size_t j = 0; j < B; ++j) drift[j] += beta[j] * beta[j];
      }
      for (int t = 0; t < volumes; ++t) {
        double* row = block.data() + t * B;
        for (std::size_t c = 0; c < columns; ++c) {
          const double qt = design.column(c)[t];
          const double* beta = coefficients.data() + c * B;
          for (std::size_t j = 0; j < B; ++j) row[j] -= beta[j] * qt;
        }
      }
      std::fill(lagProducts.begin(), lagProducts.end(), 0.0);
      for (int k = 0; k <= lags; ++k) {
        double* products = lagProducts.data() + k * B;
        for (int t = 0; t + k < volumes; ++t) {
          const double* row = block.data() + t * B;
          const double* later = block.data() + (t + k) * B;
          for (std::size_t j = 0; j < B; ++j) products[j] += row[j] * later[j];
        }
      }
      std::copy(lagProducts.begin(), lagProducts.begin() + B, squares.begin());
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t v = first + j;
        pass.mean[v] = static_cast<float>(means[j]);
        pass.residualSquares[v] = static_cast<float>(squares[j]);
        if (!mask[v]) continue;
        const int group = pass.groupOfSlice[v / slab];
        TemporalSums& into = sums.groups[group];
        into.voxels += 1.0;
        into.meanSquares += means[j] * means[j];
        into.residualSquares += squares[j];
        into.driftSquares += drift[j];
        for (int k = 0; k <= lags; ++k) into.lagProducts[k] += lagProducts[k * B + j];
        for (int t = 0; t < volumes; ++t) in.get()[t] = block[t * B + j];
        fftw_execute_dft_r2c(plan, in.get(), out.get());
        std::vector<double>& power = sums.periodogram[group];
        for (int f = 0; f < frequencies; ++f) {
          power[f] += out.get()[f][0] * out.get()[f][0] + out.get()[f][1] * out.get()[f][1];
        }
      }
      for (int t = 0; t < volumes; ++t) {
        float* volume = series.values.data() + static_cast<std::size_t>(t) * voxels + first;
        const double* row = block.data() + t * B;
        for (std::size_t j = 0; j < count; ++j) volume[j] = static_cast<float>(row[j]);
      }
      const std::size_t done = ++blocksDone;
      if (thread == 0 && progress) {
        const int step = static_cast<int>(done * kProgressSteps / blocks);
        if (step > reported && step < kProgressSteps) {
          reported = step;
          progress("temporal model: " + std::to_string(step * 100 / kProgressSteps) +
                   "% of the voxels");
        }
      }
    }
    const std::lock_guard<std::mutex> lock(merge);
    for (int g = 0; g < groupCount; ++g) {
      pass.groups[g] += sums.groups[g];
      for (int f = 0; f < frequencies; ++f) pass.periodogram[g][f] += sums.periodogram[g][f];
    }
  };
  formats::onThreads(threads, work);
  fftw_destroy_plan(plan);
  return pass;
}

}  // namespace tolvane::fit_noise
