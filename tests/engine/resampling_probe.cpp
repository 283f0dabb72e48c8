// Resamples one volume for the Python suite that compares the resampler with an
// independent one:
//   resampling_probe IN OUT
// IN holds, little-endian: int32 nx, ny, nz, order (1 trilinear, 3 cubic B-spline);
// 12 doubles, the grid's voxel-to-world affine (three rows of four); 6 doubles, the
// motion (trans_x, trans_y, trans_z in mm, rot_x, rot_y, rot_z in radians); then the
// nx * ny * nz float32 values, x fastest. OUT receives the moved volume as float32.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "engine/rigid_motion.h"
#include "engine/rigid_resampling.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: resampling_probe IN OUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::int32_t header[4];
  tolvane::formats::Affine grid{};
  double parameters[6];
  in.read(reinterpret_cast<char*>(header), sizeof header);
  in.read(reinterpret_cast<char*>(grid.m), sizeof grid.m);
  in.read(reinterpret_cast<char*>(parameters), sizeof parameters);
  const tolvane::engine::VolumeShape shape{header[0], header[1], header[2]};
  std::vector<float> volume(static_cast<std::size_t>(shape.voxels()));
  in.read(reinterpret_cast<char*>(volume.data()),
          static_cast<std::streamsize>(volume.size() * sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "resampling_probe: %s is too short\n", argv[1]);
    return 2;
  }
  tolvane::engine::RigidMotion motion;
  for (int axis = 0; axis < 3; ++axis) {
    motion.translationMm[static_cast<std::size_t>(axis)] = parameters[axis];
    motion.rotationRadians[static_cast<std::size_t>(axis)] = parameters[3 + axis];
  }
  const auto interpolation = header[3] == 3 ? tolvane::engine::Interpolation::CubicBSpline
                                            : tolvane::engine::Interpolation::Trilinear;
  std::vector<float> moved(volume.size());
  std::vector<double> work;
  tolvane::engine::resampleVolume(shape, volume.data(),
                                  tolvane::engine::samplingMap(grid, motion), interpolation,
                                  moved.data(), work);
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(moved.data()),
            static_cast<std::streamsize>(moved.size() * sizeof(float)));
  return out ? 0 : 1;
}
