// noise_from: a fit's keys under a study's own.
#include <gtest/gtest.h>

#include <string>

#include "formats/errors.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {
namespace {

// As fit-noise writes it, with the keys that fitted noise and the study reader share.
constexpr const char* kFitted = R"(tr = 1.5
volumes = 40
[grid]
anatomical = "mean.nii.gz"
box = [0, 17, 0, 21, 0, 3]
resolution = 1
[noise]
tsnr = 61.5
acf = { a = 0.4, b_mm = 3, c_mm = 5 }
ar = [0.3]
ma = [-0.1]
drift = { sd = 2, cutoff_s = 100 }
)";

class NoiseFrom : public ::testing::Test {
 protected:
  NoiseFrom() {
    std::filesystem::create_directory(folder.file("fit"));
    folder.write("fit/noise.toml", kFitted);
  }
  StudyFile parse(const std::string& text) {
    return parseStudyText(text, folder.file("study.toml"));
  }
  TemporaryFolder folder;
};

TEST_F(NoiseFrom, StudyKeysWinAndDisplaceTheFitsAlternativesAndFittedPathsBecomeAbsolute) {
  const StudyFile study = parse(R"(noise_from = "fit/noise.toml"
protocol = "p.prt"
tr = 2.5
[noise]
sd = 7
smoothness_mm = 4
model = "ar1"
rho = 0.2
)");
  EXPECT_EQ(study.trSeconds, 2.5);
  EXPECT_EQ(study.volumes, 40);
  EXPECT_EQ(study.noiseSd, 7.0);  // and tsnr, acf, ar and ma are gone, or parsing would refuse them
  EXPECT_EQ(study.smoothnessMm, 4.0);
  EXPECT_EQ(study.rho, 0.2);
  EXPECT_EQ(study.driftSd, 2.0);
  EXPECT_EQ(study.driftCutoffSeconds, 100.0);
  ASSERT_TRUE(study.anatomical);
  EXPECT_EQ(std::filesystem::path(*study.anatomical),
            (folder.path() / "fit" / "mean.nii.gz").lexically_normal());
  EXPECT_EQ(study.box, (std::array<std::int64_t, 6>{0, 17, 0, 21, 0, 3}));
  EXPECT_EQ(study.resolution, 1);
}

TEST_F(NoiseFrom, AStudysOwnGridReplacesTheFittedGridWhole) {
  const StudyFile study = parse(R"(noise_from = "fit/noise.toml"
protocol = "p.prt"
[grid]
resolution = 2
[noise]
sd = 7
smoothness_mm = 4
model = "white"
)");
  EXPECT_FALSE(study.anatomical);
  EXPECT_FALSE(study.box);
  EXPECT_EQ(study.resolution, 2);
}

TEST_F(NoiseFrom, AMissingFittedFileIsRefusedNamingTheKey) {
  try {
    parse("noise_from = \"nowhere/noise.toml\"\nprotocol = \"p.prt\"\n");
    FAIL() << "a missing fitted file was accepted";
  } catch (const formats::InputError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("study.toml:1: key noise_from:"), std::string::npos) << message;
    EXPECT_NE(message.find("nowhere/noise.toml"), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace tolvane::study
