// Resolving regions to grid voxels; see regions.h.
#include "tolvane/study/regions.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "formats/affine.h"
#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"
#include "simulation/run_log.h"

namespace tolvane::study {
namespace {

using formats::InputError;

[[noreturn]] void fail(const RegionContext& context, const KeyPlace& place,
                       const std::string& what) {
  formats::failAt(context.studyFile, place.line, "key " + place.key + ": " + what);
}

// The key's own line when the region gave it, else the region's.
KeyPlace keyOf(const RegionEntry& entry, const std::string& key) {
  const std::string full = entry.place.key + "." + key;
  for (const KeyPlace& place : entry.places) {
    if (place.key == full) return place;
  }
  return {full, entry.place.line};
}

std::filesystem::path resolvePath(const RegionContext& context, const std::string& written) {
  const std::filesystem::path path(written);
  return path.is_absolute() ? path : context.folder / path;
}

std::int64_t gridVoxelIndex(const formats::VtcGeometry& grid, std::int64_t x, std::int64_t y,
                            std::int64_t z) {
  return (z * grid.dimY() + y) * grid.dimX() + x;
}

bool insideGrid(const formats::VtcGeometry& grid, std::int64_t x, std::int64_t y, std::int64_t z) {
  return x >= 0 && x < grid.dimX() && y >= 0 && y < grid.dimY() && z >= 0 && z < grid.dimZ();
}

std::array<double, 3> worldOf(const RegionContext& context, const std::array<double, 3>& grid) {
  const formats::Affine toWorld =
      formats::compose(context.frame.voxelToWorld, context.grid.gridToVmr());
  return formats::transformPoint(toWorld, grid);
}

// The grid index nearest to a world position, through the inverse of the grid's
// voxel-to-world transform.
std::array<std::int64_t, 3> nearestGridVoxel(const RegionContext& context,
                                             const std::array<double, 3>& world,
                                             const KeyPlace& place) {
  const formats::Affine a = formats::compose(context.frame.voxelToWorld, context.grid.gridToVmr());
  if (formats::determinant(a) == 0.0) {
    fail(context, place, "the anatomical's transform cannot be inverted");
  }
  const formats::Point3 grid = formats::transformPoint(formats::inverse(a), world);
  std::array<std::int64_t, 3> index{};
  for (int c = 0; c < 3; ++c) index[c] = static_cast<std::int64_t>(std::floor(grid[c] + 0.5));
  return index;
}

void resolveSphere(const RegionEntry& entry, const RegionContext& context, Region& region) {
  if (entry.shape && *entry.shape != "sphere") {
    fail(context, keyOf(entry, "shape"),
         "expected \"sphere\" (or a voi or labels key instead), found " +
             formats::inQuotes(*entry.shape));
  }
  if (entry.centreVoxel.has_value() == entry.centreMm.has_value()) {
    fail(context, entry.place, "a sphere needs exactly one of centre_voxel and centre_mm");
  }
  if (entry.radiusVoxels.has_value() == entry.radiusMm.has_value()) {
    fail(context, entry.place, "a sphere needs exactly one of radius_voxels and radius_mm");
  }
  const double radius = entry.radiusVoxels ? *entry.radiusVoxels : *entry.radiusMm;
  const std::string radiusKey = entry.radiusVoxels ? "radius_voxels" : "radius_mm";
  if (!(radius > 0.0 && radius <= 1000.0)) {
    fail(context, keyOf(entry, radiusKey), "expected a radius above 0 and at most 1000");
  }
  const formats::VtcGeometry& grid = context.grid;
  std::array<std::int64_t, 3> centre{};
  if (entry.centreVoxel) {
    const auto& c = *entry.centreVoxel;
    for (int axis = 0; axis < 3; ++axis) {
      if (c[axis] < 0 || c[axis] >= context.vmrDims[axis]) {
        fail(context, keyOf(entry, "centre_voxel"),
             "expected a voxel of the anatomical (0 to " +
                 std::to_string(context.vmrDims[axis] - 1) + " on each axis)");
      }
    }
    centre = {simulation::gridIndex(c[0], grid.xStart, grid.resolution),
              simulation::gridIndex(c[1], grid.yStart, grid.resolution),
              simulation::gridIndex(c[2], grid.zStart, grid.resolution)};
    region.sphereCentreVmr = {static_cast<int>(c[0]), static_cast<int>(c[1]),
                              static_cast<int>(c[2])};
  } else {
    centre = nearestGridVoxel(context, *entry.centreMm, keyOf(entry, "centre_mm"));
  }
  const formats::Affine toWorld = formats::compose(context.frame.voxelToWorld, grid.gridToVmr());
  const formats::Point3 edge = formats::voxelSizes(toWorld);
  int reach[3];
  for (int c = 0; c < 3; ++c) {
    reach[c] =
        static_cast<int>(entry.radiusVoxels ? std::floor(radius) : std::floor(radius / edge[c]));
  }
  const float radiusVoxels = static_cast<float>(radius);
  std::size_t offsets = 0;
  for (int dz = -reach[2]; dz <= reach[2]; ++dz)
    for (int dy = -reach[1]; dy <= reach[1]; ++dy)
      for (int dx = -reach[0]; dx <= reach[0]; ++dx) {
        bool inside = false;
        if (entry.radiusVoxels) {
          inside = std::sqrt(static_cast<float>(dx * dx + dy * dy + dz * dz)) <= radiusVoxels;
        } else {
          const double mx = dx * edge[0], my = dy * edge[1], mz = dz * edge[2];
          inside = std::sqrt(mx * mx + my * my + mz * mz) <= radius;
        }
        if (!inside) continue;
        ++offsets;
        const std::int64_t x = centre[0] + dx, y = centre[1] + dy, z = centre[2] + dz;
        if (insideGrid(grid, x, y, z)) region.voxels.push_back(gridVoxelIndex(grid, x, y, z));
        region.vmrVoxels.insert(region.vmrVoxels.end(),
                                {static_cast<std::int32_t>(grid.xStart + grid.resolution * x),
                                 static_cast<std::int32_t>(grid.yStart + grid.resolution * y),
                                 static_cast<std::int32_t>(grid.zStart + grid.resolution * z)});
      }
  region.kind = RegionKind::Sphere;
  region.shareInsideGrid = static_cast<double>(region.voxels.size()) / static_cast<double>(offsets);
  region.centreMm = worldOf(context, {double(centre[0]), double(centre[1]), double(centre[2])});
  region.radiusMm = entry.radiusMm ? radius : radius * edge[0];
  // The plug-in's sphere pass draws its deviates time point by time point over the
  // sphere's offsets; only a sphere of its radius around a VMR voxel can take it.
  region.pluginSphere = entry.centreVoxel && entry.radiusVoxels &&
                        *entry.radiusVoxels == simulation::kSphereRadiusVoxels;
}

// The grid voxels of a list of VMR voxel triples in a reference space.
void coverVmrVoxels(const RegionContext& context, Region& region) {
  const formats::VtcGeometry& grid = context.grid;
  std::int32_t space =
      region.convention.flipped ? formats::kFlippedVoiSpace : formats::kVmrReferenceSpace;
  std::size_t inside = 0;
  for (std::size_t i = 0; i + 2 < region.vmrVoxels.size(); i += 3) {
    const auto vmr = formats::vmrVoxelOf(
        space, {region.vmrVoxels[i], region.vmrVoxels[i + 1], region.vmrVoxels[i + 2]});
    const std::int64_t x = simulation::gridIndex(vmr[0], grid.xStart, grid.resolution);
    const std::int64_t y = simulation::gridIndex(vmr[1], grid.yStart, grid.resolution);
    const std::int64_t z = simulation::gridIndex(vmr[2], grid.zStart, grid.resolution);
    if (insideGrid(grid, x, y, z)) {
      region.voxels.push_back(gridVoxelIndex(grid, x, y, z));
      ++inside;
    }
  }
  const std::size_t total = region.vmrVoxels.size() / 3;
  if (total > 0) region.shareInsideGrid = static_cast<double>(inside) / static_cast<double>(total);
}

void resolveVoi(const RegionEntry& entry, const RegionContext& context, Region& region) {
  formats::VoiFile file;
  try {
    file = formats::readVoiFile(resolvePath(context, *entry.voi), context.vmrDims);
  } catch (const InputError& error) {
    fail(context, keyOf(entry, "voi"), error.what());
  }
  const formats::Voi* chosen = nullptr;
  std::string names;
  for (const formats::Voi& voi : file.vois) {
    names += (names.empty() ? "" : ", ") + formats::inQuotes(voi.name);
    if (entry.name && voi.name == *entry.name) chosen = &voi;
  }
  if (!entry.name && file.vois.size() == 1) chosen = &file.vois.front();
  if (chosen == nullptr) {
    fail(context, keyOf(entry, "name"),
         "expected the name of one VOI of " + *entry.voi + " (" + names + ")");
  }
  region.kind = RegionKind::Voi;
  region.name = chosen->name;
  region.vmrVoxels = chosen->voxels;
  region.convention = {file.referenceSpace == formats::kFlippedVoiSpace, formats::kVoiFlipOrigin};
  coverVmrVoxels(context, region);
}

void resolveLabels(const RegionEntry& entry, const RegionContext& context, Region& region) {
  if (!entry.label) {
    fail(context, entry.place, "a labels region needs the label to use (label = N)");
  }
  const std::filesystem::path path = resolvePath(context, *entry.labels);
  formats::LabelVolume volume;
  try {
    volume = formats::readLabelVolume(path);
  } catch (const InputError& error) {
    fail(context, keyOf(entry, "labels"), error.what());
  }
  for (int axis = 0; axis < 3; ++axis) {
    if (volume.dims[axis] != context.vmrDims[axis]) {
      fail(context, keyOf(entry, "labels"), "expected a label image on the anatomical's grid");
    }
  }
  // The label's anatomical voxels inside the grid's box, for the share kept.
  const formats::VtcGeometry& grid = context.grid;
  std::size_t labelled = 0, insideBox = 0, index = 0;
  for (std::int64_t z = 0; z < volume.dims[2]; ++z)
    for (std::int64_t y = 0; y < volume.dims[1]; ++y)
      for (std::int64_t x = 0; x < volume.dims[0]; ++x, ++index) {
        if (volume.labels[index] != *entry.label) continue;
        ++labelled;
        if (insideGrid(grid, simulation::gridIndex(x, grid.xStart, grid.resolution),
                       simulation::gridIndex(y, grid.yStart, grid.resolution),
                       simulation::gridIndex(z, grid.zStart, grid.resolution))) {
          ++insideBox;
        }
      }
  if (labelled == 0) {
    fail(context, keyOf(entry, "label"),
         "expected a label that " + entry.labels.value() + " holds, found none with " +
             std::to_string(*entry.label));
  }
  // Centre sampling. The region's VMR voxels are the sampled centres, so that the
  // voxel-list pass (signal "replace") writes exactly these grid voxels.
  for (std::int64_t z = 0; z < grid.dimZ(); ++z)
    for (std::int64_t y = 0; y < grid.dimY(); ++y)
      for (std::int64_t x = 0; x < grid.dimX(); ++x) {
        const std::int64_t vx = grid.xStart + grid.resolution * x;
        const std::int64_t vy = grid.yStart + grid.resolution * y;
        const std::int64_t vz = grid.zStart + grid.resolution * z;
        if (vx >= volume.dims[0] || vy >= volume.dims[1] || vz >= volume.dims[2]) continue;
        const std::size_t at =
            static_cast<std::size_t>((vz * volume.dims[1] + vy) * volume.dims[0] + vx);
        if (volume.labels[at] != *entry.label) continue;
        region.voxels.push_back(gridVoxelIndex(grid, x, y, z));
        region.vmrVoxels.insert(region.vmrVoxels.end(), {static_cast<std::int32_t>(vx),
                                                         static_cast<std::int32_t>(vy),
                                                         static_cast<std::int32_t>(vz)});
      }
  region.shareInsideGrid = static_cast<double>(insideBox) / static_cast<double>(labelled);
  region.kind = RegionKind::Labels;
  region.name = entry.name ? *entry.name : "label" + std::to_string(*entry.label);
}

std::string amountText(const Amount& amount) {
  std::ostringstream text;
  text << amount.value << (amount.percent ? "%" : "") << (amount.peak ? " peak" : "");
  return text.str();
}

// "Task=3", "Faces=1% peak", "Faces=1%~0.4%~0.1%" (mean, sd, run sd).
std::string amplitudeText(const AmplitudeEntry& entry) {
  std::string text = entry.condition + "=" + amountText(entry.mean);
  if (entry.sd || entry.runSd) {
    text += "~" + (entry.sd ? amountText(*entry.sd) : "0");
    if (entry.runSd) text += "~" + amountText(*entry.runSd);
  }
  return text;
}

void resolveEffects(const RegionEntry& entry, const RegionContext& context, Region& region) {
  if (!entry.effectsPlace && context.effectsOptional) {
    region.effects.assign(context.protocol->conditions.size(), Effect{});
    region.percentOfBaseline.assign(context.protocol->conditions.size(), false);
    return;
  }
  if (!entry.effectsPlace || entry.effects.empty()) {
    fail(context, keyOf(entry, "effects"),
         "missing; expected a table of condition = amplitude, e.g. effects = { Task = 3.0 }");
  }
  const design::Protocol& protocol = *context.protocol;
  region.effects.assign(protocol.conditions.size(), Effect{});
  region.percentOfBaseline.assign(protocol.conditions.size(), false);
  const auto inDataUnits = [&](const Amount& amount) {
    return amount.percent ? context.baseline * amount.value / 100.0 : amount.value;
  };
  for (const AmplitudeEntry& written : entry.effects) {
    std::size_t c = 0;
    while (c < protocol.conditions.size() && protocol.conditions[c].name != written.condition) ++c;
    if (c == protocol.conditions.size()) {
      std::string names;
      for (const design::Condition& condition : protocol.conditions) {
        names += (names.empty() ? "" : ", ") + condition.name;
      }
      fail(context, written.place, "expected a condition of the protocol (" + names + ")");
    }
    Effect& effect = region.effects[c];
    effect.mean = inDataUnits(written.mean);
    effect.peak = written.mean.peak;
    if (written.sd) effect.sd = inDataUnits(*written.sd);
    if (written.runSd) effect.runSd = inDataUnits(*written.runSd);
    for (const double value : {effect.mean, effect.sd, effect.runSd}) {
      if (!std::isfinite(value) || std::fabs(value) > 1e30) {
        fail(context, written.place, "expected a finite amplitude");
      }
    }
    region.percentOfBaseline[c] = written.mean.percent;
    region.effectsAsWritten.push_back(amplitudeText(written));
  }
}

}  // namespace

Region resolveRegion(const RegionEntry& entry, std::size_t index, const RegionContext& context) {
  Region region;
  const bool voi = entry.voi.has_value();
  const bool labels = entry.labels.has_value();
  if (voi && labels) fail(context, entry.place, "expected either voi or labels, not both");
  if ((voi || labels) && (entry.centreVoxel || entry.centreMm || entry.radiusVoxels ||
                          entry.radiusMm || entry.shape)) {
    fail(context, entry.place, "a voi or labels region takes no shape, centre or radius");
  }
  if (!labels && entry.label) fail(context, keyOf(entry, "label"), "needs a labels file");
  if (voi) {
    resolveVoi(entry, context, region);
  } else if (labels) {
    resolveLabels(entry, context, region);
  } else {
    resolveSphere(entry, context, region);
    region.name = "sphere" + std::to_string(index + 1);
  }
  if (entry.name) region.name = *entry.name;
  if (entry.jitterMm) {
    if (!(*entry.jitterMm >= 0.0 && *entry.jitterMm <= 1000.0)) {
      fail(context, keyOf(entry, "jitter_mm"), "expected a standard deviation from 0 to 1000 mm");
    }
    region.jitterMm = *entry.jitterMm;
  }
  std::sort(region.voxels.begin(), region.voxels.end());
  region.voxels.erase(std::unique(region.voxels.begin(), region.voxels.end()), region.voxels.end());
  if (region.voxels.empty()) {
    const char* key = voi                 ? "voi"
                      : labels            ? "labels"
                      : entry.centreVoxel ? "centre_voxel"
                                          : "centre_mm";
    fail(context, keyOf(entry, key), "expected a region inside the grid; none of its voxels is");
  }
  if (region.kind != RegionKind::Sphere) {
    std::array<double, 3> sum{};
    for (const std::int64_t v : region.voxels) {
      const std::int64_t x = v % context.grid.dimX();
      const std::int64_t y = (v / context.grid.dimX()) % context.grid.dimY();
      const std::int64_t z =
          v / (static_cast<std::int64_t>(context.grid.dimX()) * context.grid.dimY());
      sum[0] += double(x);
      sum[1] += double(y);
      sum[2] += double(z);
    }
    const double n = double(region.voxels.size());
    region.centreMm = worldOf(context, {sum[0] / n, sum[1] / n, sum[2] / n});
  }
  resolveEffects(entry, context, region);
  return region;
}

}  // namespace tolvane::study
