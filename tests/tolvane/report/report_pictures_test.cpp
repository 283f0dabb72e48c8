// The report's pictures: PNG bytes that a decoder reads back as the same pixels, slices
// drawn the right way up with the region outlined on its edge, the overlay's colour
// scale, and axis ticks.
#include <gtest/gtest.h>
#include <spng.h>

#include <cmath>
#include <limits>

#include "tolvane/report/png_image.h"
#include "tolvane/report/slice_images.h"
#include "tolvane/report/svg_plots.h"

namespace {

using namespace tolvane::report;

RgbImage decodePng(const std::string& png) {
  spng_ctx* context = spng_ctx_new(0);
  spng_set_png_buffer(context, png.data(), png.size());
  spng_ihdr header{};
  EXPECT_EQ(spng_get_ihdr(context, &header), 0);
  RgbImage image(int(header.width), int(header.height));
  EXPECT_EQ(spng_decode_image(context, image.pixels.data(), image.pixels.size(), SPNG_FMT_RGB8, 0),
            0);
  spng_ctx_free(context);
  return image;
}

TEST(ReportPictures, PngDecodesToTheSamePixelsAndBase64FollowsTheStandard) {
  // Odd sizes and every byte value, so that row padding or a swapped channel shows.
  RgbImage image(7, 3);
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = static_cast<std::uint8_t>(i * 37 % 256);
  }
  const RgbImage decoded = decodePng(encodePng(image));
  EXPECT_EQ(decoded.width, 7);
  EXPECT_EQ(decoded.height, 3);
  EXPECT_EQ(decoded.pixels, image.pixels);

  // The test vectors of RFC 4648, section 10: every padding case.
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(pngDataUri(image).rfind("data:image/png;base64,iVBORw0KGgo", 0), 0u);
}

// A 4 x 3 x 2 volume: background value = x + 10 y, the region a 2 x 2 block at x 1..2,
// y 0..1 of slice z = 1, and one voxel with a strong positive t.
struct SmallVolume {
  std::array<std::int64_t, 3> dims{4, 3, 2};
  std::vector<double> background;
  std::vector<char> region;
  std::vector<float> t;
  SmallVolume() : background(24), region(24, 0), t(24, 0.0f) {
    for (int z = 0; z < 2; ++z) {
      for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) background[std::size_t(x + 4 * (y + 3 * z))] = x + 10 * y;
      }
    }
    for (int y = 0; y < 2; ++y) {
      for (int x = 1; x < 3; ++x) region[std::size_t(x + 4 * (y + 3))] = 1;
    }
    t[std::size_t(3 + 4 * (2 + 3))] = 9.0f;  // voxel (3, 2, 1), outside the region
  }
};

TEST(ReportPictures, SlicesAreUprightWithTheRegionOutlinedOnItsEdgeAndTheMapOverlaid) {
  const SmallVolume volume;
  SliceLayers layers;
  layers.dims = volume.dims;
  layers.background = &volume.background;
  layers.window = {0.0, 23.0};
  layers.outlined = &volume.region;
  layers.statistic = &volume.t;
  layers.threshold = 3.0;
  layers.top = 9.0;
  constexpr int kScale = 8;  // outline 2 pixels wide
  const RgbImage axial = renderSlice(layers, Plane::Axial, 1, kScale);
  ASSERT_EQ(axial.width, 4 * kScale);
  ASSERT_EQ(axial.height, 3 * kScale);
  const auto pixelOf = [&](int x, int y, int dx, int dy) {  // voxel (x, y), offset in block
    return axial.at(x * kScale + dx, (2 - y) * kScale + dy);
  };
  // y runs upwards: voxel (0, 2), the brightest background of column 0, is in the top row.
  EXPECT_EQ(pixelOf(0, 2, 4, 4), dimmedGreyLevel(20.0, layers.window));
  EXPECT_EQ(pixelOf(0, 0, 4, 4), dimmedGreyLevel(0.0, layers.window));
  // The region's outer edge is outlined; where two region voxels meet there is no line,
  // and each voxel's middle keeps its own value.
  EXPECT_EQ(pixelOf(1, 1, 0, 4), kOutlineColour);           // left edge of the block
  EXPECT_EQ(pixelOf(1, 1, 4, 0), kOutlineColour);           // top edge
  EXPECT_EQ(pixelOf(2, 0, kScale - 1, 4), kOutlineColour);  // right edge
  EXPECT_EQ(pixelOf(1, 0, 4, kScale - 1), kOutlineColour);  // bottom edge
  EXPECT_EQ(pixelOf(1, 1, kScale - 1, 4), dimmedGreyLevel(11.0, layers.window));
  EXPECT_EQ(pixelOf(1, 1, 4, kScale - 1), dimmedGreyLevel(11.0, layers.window));
  EXPECT_EQ(pixelOf(1, 1, 4, 4), dimmedGreyLevel(11.0, layers.window));
  EXPECT_EQ(pixelOf(3, 2, 4, 4), *statisticColour(9.0, 3.0, 9.0));
  // The other slice has neither region nor overlay.
  const RgbImage other = renderSlice(layers, Plane::Axial, 0, kScale);
  for (std::size_t i = 0; i < other.pixels.size(); i += 3) {
    EXPECT_EQ(other.pixels[i], other.pixels[i + 1]) << "a coloured pixel at " << i / 3;
  }
  // Coronal and sagittal slices put z upwards: at y = 2 the overlay voxel (3, 2, 1) is in
  // the top row and the last column.
  const RgbImage coronal = renderSlice(layers, Plane::Coronal, 2, kScale);
  ASSERT_EQ(coronal.height, 2 * kScale);
  EXPECT_EQ(coronal.at(3 * kScale + 4, 4), *statisticColour(9.0, 3.0, 9.0));
  const RgbImage sagittal = renderSlice(layers, Plane::Sagittal, 3, kScale);
  ASSERT_EQ(sagittal.width, 3 * kScale);
  EXPECT_EQ(sagittal.at(2 * kScale + 4, 4), *statisticColour(9.0, 3.0, 9.0));
}

TEST(ReportPictures, OverlayShowsOnlyPastTheThresholdAndBrightensWithMagnitude) {
  constexpr double kThreshold = 3.0, kTop = 10.0;
  EXPECT_FALSE(statisticColour(2.99, kThreshold, kTop));
  EXPECT_FALSE(statisticColour(-2.99, kThreshold, kTop));
  EXPECT_FALSE(statisticColour(std::numeric_limits<double>::quiet_NaN(), kThreshold, kTop));
  int previousPositive = -1, previousNegative = -1;
  for (double t = kThreshold; t <= kTop + 2; t += 0.25) {
    const Rgb positive = *statisticColour(t, kThreshold, kTop);
    const Rgb negative = *statisticColour(-t, kThreshold, kTop);
    EXPECT_GT(positive.r, positive.b) << "t = " << t;   // warm for positive
    EXPECT_GT(negative.b, negative.r) << "t = " << -t;  // cool for negative
    const int brightPositive = positive.r + positive.g + positive.b;
    const int brightNegative = negative.r + negative.g + negative.b;
    EXPECT_GE(brightPositive, previousPositive);
    EXPECT_GE(brightNegative, previousNegative);
    previousPositive = brightPositive;
    previousNegative = brightNegative;
  }
  // Past the top the colour saturates at the scale's end.
  EXPECT_EQ(*statisticColour(50.0, kThreshold, kTop), *statisticColour(kTop, kThreshold, kTop));
}

TEST(ReportPictures, TicksAreRoundStepsCoveringTheRange) {
  EXPECT_EQ(niceTicks(0.0, 498.0, 8), (std::vector<double>{0, 100, 200, 300, 400}));
  EXPECT_EQ(niceTicks(0.0, 1.0, 5), (std::vector<double>{0, 0.2, 0.4, 0.6, 0.8, 1}));
  EXPECT_EQ(niceTicks(-7.3, 12.1, 4), (std::vector<double>{-5, 0, 5, 10}));
}

}  // namespace
