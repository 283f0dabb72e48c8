// Conforming an anatomical; see conform.h.
#include "formats/nifti/conform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "formats/errors.h"

namespace tolvane::formats {
namespace {

// Composing two transforms in double leaves a grid point that lies exactly on an
// outermost voxel centre up to about 1e-12 voxels off it, on either side. Points this
// close count as on it, so that such a plane is not dropped or kept by rounding.
constexpr double kEdgeToleranceVoxels = 1e-6;

// Where a continuous voxel coordinate falls between two voxel centres of an axis of
// `count` voxels: the lower one and the weight of the next (the upper one is the lower
// one again on an axis of a single voxel, with weight 0).
struct AxisSample {
  std::int64_t lower = 0;
  std::int64_t upper = 0;
  double upperWeight = 0.0;
  bool inside = false;
};

AxisSample sampleAxis(double coordinate, std::int64_t count) {
  const double last = static_cast<double>(count - 1);
  if (!(coordinate >= -kEdgeToleranceVoxels && coordinate <= last + kEdgeToleranceVoxels)) {
    return {};
  }
  const double clamped = std::clamp(coordinate, 0.0, last);
  const std::int64_t lower =
      std::min(static_cast<std::int64_t>(clamped), std::max<std::int64_t>(count - 2, 0));
  return {lower, std::min(lower + 1, count - 1), clamped - static_cast<double>(lower), true};
}

}  // namespace

MapGeometry conformedGeometry(const MapGeometry& source) {
  const Affine& a = source.frame.voxelToWorld;
  MapGeometry conformed;
  conformed.dims = {kConformedDimension, kConformedDimension, kConformedDimension};
  conformed.frame.code = source.frame.code;
  Affine& c = conformed.frame.voxelToWorld;
  for (int column = 0; column < 3; ++column) {
    const double scale = kConformedVoxelMm / columnLength(a, column);
    for (int r = 0; r < 3; ++r) c.m[r][column] = a.m[r][column] * scale;
  }
  const double conformedCentre = (kConformedDimension - 1) / 2.0;
  for (int r = 0; r < 3; ++r) {
    double centre = a.m[r][3];
    for (int k = 0; k < 3; ++k) {
      centre += a.m[r][k] * (static_cast<double>(source.dims[k] - 1) / 2.0);
    }
    c.m[r][3] = centre - (c.m[r][0] + c.m[r][1] + c.m[r][2]) * conformedCentre;
  }
  return conformed;
}

bool isConformed(const MapGeometry& source) {
  return std::all_of(source.dims.begin(), source.dims.end(),
                     [](std::int64_t dim) { return dim == kConformedDimension; }) &&
         samePlacement(conformedGeometry(source).frame.voxelToWorld, source.frame.voxelToWorld);
}

namespace {

// Target voxel to source voxel, in one transform, after checking the source.
Affine targetToSource(const ScalarVolume& source, const MapGeometry& target, const char* caller) {
  const MapGeometry& from = source.geometry;
  if (!isInvertible(from.frame.voxelToWorld) || source.values.size() != from.voxelCount()) {
    throw std::invalid_argument(std::string(caller) +
                                ": a source without an invertible transform "
                                "or with another number of values than voxels");
  }
  return compose(inverse(from.frame.voxelToWorld), target.frame.voxelToWorld);
}

// One value for each voxel of `target`, x fastest, from `valueAt`, which gets the voxel
// centre's position in the source's voxel coordinates.
template <typename ValueAt>
std::vector<float> sampleOnto(const MapGeometry& target, const Affine& toSource, ValueAt valueAt) {
  std::vector<float> values(target.voxelCount());
  std::size_t index = 0;
  for (std::int64_t z = 0; z < target.dims[2]; ++z) {
    for (std::int64_t y = 0; y < target.dims[1]; ++y) {
      for (std::int64_t x = 0; x < target.dims[0]; ++x, ++index) {
        values[index] = valueAt(transformPoint(
            toSource, {static_cast<double>(x), static_cast<double>(y), static_cast<double>(z)}));
      }
    }
  }
  return values;
}

}  // namespace

std::vector<float> resampleTrilinear(const ScalarVolume& source, const MapGeometry& target) {
  const MapGeometry& from = source.geometry;
  const Affine toSource = targetToSource(source, target, "resampleTrilinear");
  const std::int64_t strideY = from.dims[0];
  const std::int64_t strideZ = from.dims[0] * from.dims[1];
  const auto at = [&](std::int64_t x, std::int64_t y, std::int64_t z) {
    return source.values[static_cast<std::size_t>(z * strideZ + y * strideY + x)];
  };
  return sampleOnto(target, toSource, [&](const Point3& coordinates) {
    AxisSample axes[3];
    for (int r = 0; r < 3; ++r) {
      axes[r] = sampleAxis(coordinates[r], from.dims[r]);
      if (!axes[r].inside) return 0.0f;
    }
    const AxisSample &sx = axes[0], &sy = axes[1], &sz = axes[2];
    const auto alongX = [&](std::int64_t yy, std::int64_t zz) {
      return at(sx.lower, yy, zz) * (1.0 - sx.upperWeight) + at(sx.upper, yy, zz) * sx.upperWeight;
    };
    const double lowerZ = alongX(sy.lower, sz.lower) * (1.0 - sy.upperWeight) +
                          alongX(sy.upper, sz.lower) * sy.upperWeight;
    const double upperZ = alongX(sy.lower, sz.upper) * (1.0 - sy.upperWeight) +
                          alongX(sy.upper, sz.upper) * sy.upperWeight;
    return static_cast<float>(lowerZ * (1.0 - sz.upperWeight) + upperZ * sz.upperWeight);
  });
}

std::vector<float> resampleNearest(const ScalarVolume& source, const MapGeometry& target) {
  const MapGeometry& from = source.geometry;
  const Affine toSource = targetToSource(source, target, "resampleNearest");
  return sampleOnto(target, toSource, [&](const Point3& coordinates) {
    std::int64_t nearest[3];
    for (int r = 0; r < 3; ++r) {
      const double rounded = std::floor(coordinates[r] + 0.5);
      if (!(rounded >= 0.0 && rounded < static_cast<double>(from.dims[r]))) return 0.0f;
      nearest[r] = static_cast<std::int64_t>(rounded);
    }
    return static_cast<float>(source.values[static_cast<std::size_t>(
        (nearest[2] * from.dims[1] + nearest[1]) * from.dims[0] + nearest[0])]);
  });
}

ConformedAnatomical conformAnatomical(const std::filesystem::path& file) {
  ScalarVolume volume = readScalarVolume(file);
  const Affine& a = volume.geometry.frame.voxelToWorld;
  if (!isInvertible(a)) {
    throw InputError(file.string() +
                     ": cannot be conformed: expected a voxel-to-world transform "
                     "with an inverse, found " +
                     describeGeometry(volume.geometry));
  }
  ConformedAnatomical conformed{volume.geometry, conformedGeometry(volume.geometry), {}};
  if (isConformed(volume.geometry)) return conformed;
  try {
    conformed.values = resampleTrilinear(volume, conformed.geometry);
  } catch (const std::bad_alloc&) {
    throw InputError(file.string() + ": not enough memory to conform it to " +
                     describeGrid(conformed.geometry));
  }
  return conformed;
}

std::string describeGrid(const MapGeometry& geometry) {
  char text[160];
  const Affine& a = geometry.frame.voxelToWorld;
  std::snprintf(text, sizeof text, "%lld x %lld x %lld voxels of %g x %g x %g mm",
                static_cast<long long>(geometry.dims[0]), static_cast<long long>(geometry.dims[1]),
                static_cast<long long>(geometry.dims[2]), columnLength(a, 0), columnLength(a, 1),
                columnLength(a, 2));
  return text;
}

}  // namespace tolvane::formats
