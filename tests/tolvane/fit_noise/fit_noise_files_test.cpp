// fit-noise through its files: a small real run, and what it refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "formats/nifti/nifti_maps.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/fit_noise/fit_noise_command.h"

namespace tolvane::fit_noise {
namespace {

// A real functional run of 17 x 21 x 3 voxels and 20 volumes (int16), from Debian's
// python3-nipy testing data.
const std::filesystem::path kNipyRun =
    "/usr/lib/python3/dist-packages/nipy/testing/functional.nii.gz";

TEST(FitNoiseFiles, TheTinyRealRunGivesPlausibleValuesAndAllFourFiles) {
  if (!std::filesystem::exists(kNipyRun)) GTEST_SKIP() << "python3-nipy is not installed";
  const TemporaryFolder folder;
  FitNoiseRequest request;
  request.bold = kNipyRun;
  request.output = folder.path() / "fit";
  const FitNoiseRun run = runFitNoise(request, {});
  for (const char* name : {"noise.toml", "mean.nii.gz", "mask.nii.gz", "noise_fit.json"}) {
    EXPECT_TRUE(std::filesystem::exists(request.output / name)) << name;
  }
  // A brain's tSNR lies between a few and a few hundred; the AR coefficients are those
  // of a stationary process; the mask holds most of this tightly cropped grid.
  EXPECT_GT(run.fit.tsnr.value, 10.0);
  EXPECT_LT(run.fit.tsnr.value, 500.0);
  ASSERT_FALSE(run.fit.ar.empty());
  EXPECT_LT(std::fabs(run.fit.ar[0].value), 1.0);
  EXPECT_GT(run.fit.maskVoxels, 17u * 21u);
  EXPECT_FALSE(run.fit.thermal.usable);  // no background beyond the head's margin
  std::ifstream json(request.output / "noise_fit.json");
  const nlohmann::json estimates = nlohmann::json::parse(json)["estimates"];
  EXPECT_DOUBLE_EQ(estimates["tsnr"]["value"].get<double>(), run.fit.tsnr.value);
  EXPECT_TRUE(estimates["snr"].contains("reason"));
  const formats::ScalarVolume mean = formats::readScalarVolume(request.output / "mean.nii.gz");
  EXPECT_EQ(mean.geometry.dims, (std::array<std::int64_t, 3>{17, 21, 3}));
}

formats::FloatSeries noiseSeries(int volumes) {
  formats::FloatSeries series;
  series.geometry.dims = {8, 8, 4};
  series.volumes = volumes;
  series.trSeconds = 2.0;
  series.values.resize(8 * 8 * 4 * static_cast<std::size_t>(volumes));
  for (std::size_t i = 0; i < series.values.size(); ++i) {
    series.values[i] = 100.0f + static_cast<float>((i * 7919) % 13) - 6.0f;
  }
  return series;
}

TEST(FitNoiseFiles, RefusesARunTooShortAndAnEmptyMaskSayingWhatItNeeds) {
  FitNoiseRequest request;
  request.bold = "run.nii.gz";
  formats::FloatSeries tooShort = noiseSeries(12);
  EXPECT_THROW(
      {
        try {
          fitSeries(tooShort, nullptr, request, {});
        } catch (const formats::InputError& error) {
          EXPECT_NE(std::string(error.what()).find("needs at least 13 volumes"), std::string::npos)
              << error.what();
          throw;
        }
      },
      formats::InputError);
  formats::FloatSeries enough = noiseSeries(40);
  const std::vector<std::uint8_t> empty(8 * 8 * 4, 0);
  EXPECT_THROW(
      {
        try {
          fitSeries(enough, &empty, request, {});
        } catch (const formats::InputError& error) {
          EXPECT_NE(std::string(error.what()).find("the mask has no voxels"), std::string::npos)
              << error.what();
          throw;
        }
      },
      formats::InputError);
}

}  // namespace
}  // namespace tolvane::fit_noise
