// What the plug-in's run shows its host, defined once for the run that writes it and
// for a host that reads it back (hvhost reviews a finished run from its log lines).
//
// Log lines: a status line is kStatusPrefix followed by its text; a progress line is
// kProgressPrefix followed by "done / total ..." (or "VOI i / n ..."). The texts below
// are the ones a host matches; the run composes every other line itself.
//
// The sphere cluster: the grid voxels whose offset (dx, dy, dz) from the centre voxel
// has dx * dx + dy * dy + dz * dz <= kSphereRadiusVoxels^2; for the radius of 2, the 33
// voxels within the offsets -2 .. 2 on each axis. The sphere pass draws by this rule,
// and a study's sphere of this radius in grid voxels is one the pass can fill.
//
// Header-only constants and constexpr functions: a host includes it without linking
// the module's code, and the module exports none of it.
#pragma once

#include <string_view>

#pragma GCC visibility push(hidden)

namespace tolvane::simulation {

inline constexpr std::string_view kStatusPrefix = "// Plugin>  ";
inline constexpr std::string_view kProgressPrefix = "// Plugin>    ";
// The status line that names the sphere cluster's centre, "Selected position: X: .. ".
inline constexpr std::string_view kSelectedPositionText = "Selected position:";
// Ends the status line "N cluster voxel(s) outside the VTC were skipped".
inline constexpr std::string_view kSkippedVoxelsText =
    " cluster voxel(s) outside the VTC were skipped";

inline constexpr int kSphereRadiusVoxels = 2;

constexpr bool inSphere(int dx, int dy, int dz) {
  return dx * dx + dy * dy + dz * dz <= kSphereRadiusVoxels * kSphereRadiusVoxels;
}

// How many voxels the sphere holds when none is cut off by the grid's edge.
constexpr int sphereVoxelCount() {
  int count = 0;
  for (int dz = -kSphereRadiusVoxels; dz <= kSphereRadiusVoxels; ++dz)
    for (int dy = -kSphereRadiusVoxels; dy <= kSphereRadiusVoxels; ++dy)
      for (int dx = -kSphereRadiusVoxels; dx <= kSphereRadiusVoxels; ++dx)
        if (inSphere(dx, dy, dz)) ++count;
  return count;
}

static_assert(sphereVoxelCount() == 33);

}  // namespace tolvane::simulation

#pragma GCC visibility pop
