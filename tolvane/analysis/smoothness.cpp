// The residuals' smoothness; see smoothness.h.
#include "tolvane/analysis/smoothness.h"

#include <cmath>

#include "formats/affine.h"

namespace tolvane::analysis {
namespace {

// The sums of neighbour products along each axis, and the pairs counted, one sample
// (a volume, or a subject's map) at a time.
class NeighbourCorrelation {
 public:
  NeighbourCorrelation(const formats::MapGeometry& geometry, std::vector<char> usable)
      : dims_(geometry.dims), usable_(std::move(usable)) {
    for (std::size_t v = 0; v < usable_.size(); ++v) voxels_ += usable_[v];
  }

  // `scaled`: one sample's residuals, each already divided by its voxel's length.
  void add(const std::vector<double>& scaled) {
    const std::int64_t steps[3] = {1, dims_[0], dims_[0] * dims_[1]};
    for (std::int64_t z = 0; z < dims_[2]; ++z) {
      for (std::int64_t y = 0; y < dims_[1]; ++y) {
        for (std::int64_t x = 0; x < dims_[0]; ++x) {
          const std::int64_t v = (z * dims_[1] + y) * dims_[0] + x;
          if (!usable_[std::size_t(v)]) continue;
          const std::int64_t at[3] = {x, y, z};
          for (int d = 0; d < 3; ++d) {
            if (at[d] + 1 >= dims_[std::size_t(d)]) continue;
            const auto n = std::size_t(v + steps[d]);
            if (!usable_[n]) continue;
            sums_[std::size_t(d)] += scaled[std::size_t(v)] * scaled[n];
            pairs_[std::size_t(d)] += first_;
          }
        }
      }
    }
    first_ = 0;
  }

  Smoothness result(const formats::MapGeometry& geometry) const {
    const formats::Point3 sizes = formats::voxelSizes(geometry.frame.voxelToWorld);
    Smoothness smoothness;
    smoothness.voxels = voxels_;
    double volume = 1.0;
    for (std::size_t d = 0; d < 3; ++d) {
      // A single-voxel axis has no pairs: it adds no extent, a FWHM of one voxel.
      double fwhm = 1.0;
      if (pairs_[d] > 0) {
        const double r = std::max(sums_[d] / double(pairs_[d]), kSmallestCorrelation);
        fwhm = r < 1.0 ? std::sqrt(-2.0 * std::log(2.0) / std::log(r)) : HUGE_VAL;
      }
      smoothness.fwhmVoxels[d] = fwhm;
      smoothness.fwhmMm[d] = fwhm * sizes[d];
      volume *= fwhm;
    }
    smoothness.resels = double(voxels_) / volume;
    return smoothness;
  }

 private:
  std::array<std::int64_t, 3> dims_;
  std::vector<char> usable_;
  std::int64_t voxels_ = 0;
  std::array<double, 3> sums_{};
  std::array<std::int64_t, 3> pairs_{};
  int first_ = 1;  // pairs are counted on the first sample only
};

}  // namespace

Smoothness residualSmoothness(const LeastSquaresModel& model, const VoxelFits& fits,
                              const formats::FloatSeries& series, const AnalysisMask& mask) {
  const std::size_t voxels = fits.voxelCount;
  const auto n = static_cast<std::size_t>(model.volumes);
  const auto p = static_cast<std::size_t>(model.columns);
  std::vector<char> usable(voxels);
  std::vector<double> inverseLength(voxels, 0.0);
  for (std::size_t v = 0; v < voxels; ++v) {
    usable[v] = mask.contains(v) && fits.residualVariance[v] > 0.0;
    if (usable[v]) {
      inverseLength[v] =
          1.0 / std::sqrt(fits.residualVariance[v] * double(model.degreesOfFreedom()));
    }
  }
  NeighbourCorrelation correlation(series.geometry, std::move(usable));
  const double rho = model.ar1;
  const double firstScale = std::sqrt(1.0 - rho * rho);
  std::vector<double> scaled(voxels);
  for (std::size_t t = 0; t < n; ++t) {
    const float* volume = series.values.data() + t * voxels;
    const float* prior = t > 0 ? volume - voxels : nullptr;
    for (std::size_t v = 0; v < voxels; ++v) {
      if (inverseLength[v] == 0.0) continue;
      // The whitened value (Prais-Winsten, as the fit), less the whitened design's fit.
      double value = double(volume[v]);
      value = t == 0 ? firstScale * value : value - rho * double(prior[v]);
      for (std::size_t j = 0; j < p; ++j)
        value -= model.design[t * p + j] * fits.coefficients[j * voxels + v];
      scaled[v] = value * inverseLength[v];
    }
    correlation.add(scaled);
  }
  return correlation.result(series.geometry);
}

Smoothness mapResidualSmoothness(const std::vector<std::vector<double>>& residuals,
                                 const formats::MapGeometry& geometry, const AnalysisMask& mask) {
  const std::size_t voxels = geometry.voxelCount();
  std::vector<double> squares(voxels, 0.0);
  for (const std::vector<double>& map : residuals) {
    for (std::size_t v = 0; v < voxels; ++v) squares[v] += map[v] * map[v];
  }
  std::vector<char> usable(voxels);
  for (std::size_t v = 0; v < voxels; ++v)
    usable[v] = mask.contains(v) && squares[v] > 0.0 && std::isfinite(squares[v]);
  NeighbourCorrelation correlation(geometry, usable);
  std::vector<double> scaled(voxels, 0.0);
  for (const std::vector<double>& map : residuals) {
    for (std::size_t v = 0; v < voxels; ++v)
      scaled[v] = usable[v] ? map[v] / std::sqrt(squares[v]) : 0.0;
    correlation.add(scaled);
  }
  return correlation.result(geometry);
}

}  // namespace tolvane::analysis
