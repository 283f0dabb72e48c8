// The automatic brain mask on images whose answer is known by construction.
#include "tolvane/study/automatic_mask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tolvane::study {
namespace {

constexpr int kDimX = 40, kDimY = 36, kDimZ = 30;

std::size_t index(int x, int y, int z) {
  return (static_cast<std::size_t>(z) * kDimY + y) * kDimX + x;
}

bool inEllipsoid(int x, int y, int z) {
  const double dx = (x - 19.5) / 14.0, dy = (y - 17.5) / 12.0, dz = (z - 14.5) / 10.0;
  return dx * dx + dy * dy + dz * dz <= 1.0;
}

// A bright head with a dark ventricle inside it, and a small bright speck apart from
// it, on a faintly textured background.
std::vector<float> headImage() {
  std::vector<float> image(static_cast<std::size_t>(kDimX) * kDimY * kDimZ);
  for (int z = 0; z < kDimZ; ++z) {
    for (int y = 0; y < kDimY; ++y) {
      for (int x = 0; x < kDimX; ++x) {
        const float texture = static_cast<float>(3.0 * std::sin(0.7 * x + 1.3 * y + 0.4 * z));
        float value = 10.0f + texture;
        if (inEllipsoid(x, y, z)) value = 800.0f + 40.0f * texture;
        const int dx = x - 19, dy = y - 17, dz = z - 14;
        if (dx * dx + dy * dy + dz * dz <= 9) value = 30.0f;  // ventricle
        image[index(x, y, z)] = value;
      }
    }
  }
  image[index(1, 1, 1)] = 900.0f;  // a speck of its own
  return image;
}

TEST(AutomaticMask, KeepsTheHeadFillsItsHoleAndDropsASpeckApart) {
  const std::vector<float> image = headImage();
  const std::vector<std::uint8_t> mask = automaticMask(image.data(), kDimX, kDimY, kDimZ);
  std::size_t wrong = 0;
  for (int z = 0; z < kDimZ; ++z) {
    for (int y = 0; y < kDimY; ++y) {
      for (int x = 0; x < kDimX; ++x) {
        wrong += mask[index(x, y, z)] != (inEllipsoid(x, y, z) ? 1 : 0);
      }
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(AutomaticMask, ADarkChannelThatReachesAFaceStaysOutside) {
  std::vector<float> image = headImage();
  for (int x = 19; x < kDimX; ++x) image[index(x, 17, 14)] = 10.0f;  // ventricle to the face
  const std::vector<std::uint8_t> mask = automaticMask(image.data(), kDimX, kDimY, kDimZ);
  EXPECT_EQ(mask[index(19, 17, 14)], 0);
  EXPECT_EQ(mask[index(30, 17, 14)], 0);
  EXPECT_EQ(mask[index(19, 18, 14)], 0);  // the ventricle's other voxels: connected, outside
  EXPECT_EQ(mask[index(19, 17, 8)], 1);
}

TEST(AutomaticMask, AnImageWithNothingToSeparateHasAnEmptyMask) {
  const std::vector<float> flat(1000, 5.0f);
  for (std::uint8_t inside : automaticMask(flat.data(), 10, 10, 10)) EXPECT_EQ(inside, 0);
  std::vector<float> broken = headImage();
  broken[7] = NAN;
  for (std::uint8_t inside : automaticMask(broken.data(), kDimX, kDimY, kDimZ)) {
    ASSERT_EQ(inside, 0);
  }
}

}  // namespace
}  // namespace tolvane::study
