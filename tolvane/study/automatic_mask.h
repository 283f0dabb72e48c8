// The brain mask of a run or a baseline image that comes without one, derived from its
// mean image. One rule, shared by fit-noise and simulate, so that a study made from a
// fit masks the same voxels as the fit did.
//
// The rule, in order:
//   1. Otsu's threshold on a histogram of 256 equal bins between the image's minimum
//      and maximum over the whole grid: the bin edge that maximises the between-class
//      variance of the voxels below and above it (the first such edge on a tie);
//   2. the mask is the voxels whose value lies above that edge;
//   3. only the largest 6-connected component is kept (the first in x-fastest order
//      on a tie);
//   4. its holes are filled: every component of the voxels left outside that touches
//      no face of the grid joins the mask.
// A constant image, or one whose values are not all finite, has no two classes to
// separate: the mask is then empty. Voxel order is x fastest, then y, then z; 1 is
// inside, 0 outside.
#pragma once

#include <cstdint>
#include <vector>

namespace tolvane::study {

std::vector<std::uint8_t> automaticMask(const float* meanImage, int dimX, int dimY, int dimZ);

}  // namespace tolvane::study
