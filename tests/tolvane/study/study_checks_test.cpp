// What a study file's events, rest conditions, peak amplitudes and regions become once
// the study is loaded: each checked against the run it describes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <string>

#include "design/rest_conditions.h"
#include "formats/errors.h"
#include "tests/support/temporary_folder.h"
#include "tolvane/study/run_events.h"
#include "tolvane/study/study.h"

namespace tolvane::study {
namespace {

// A 6 x 6 x 6 grid of 1 mm voxels; the events file and the study's extra keys vary.
Study loadWith(const TemporaryFolder& folder, const std::string& events,
               const std::string& keys, const std::string& effects = "{ Task = 3.0 }") {
  folder.write("events.tsv", "onset\tduration\ttrial_type\n" + events);
  const auto file = folder.write(
      "study.toml", "protocol = \"events.tsv\"\n" + keys +
                        "\n[grid]\nbox = [100, 106, 100, 106, 100, 106]\nresolution = 1\n"
                        "[[region]]\ncentre_voxel = [102, 102, 102]\nradius_voxels = 1\n"
                        "effects = " + effects + "\n");
  return loadStudy(file, {});
}

bool mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::string refusal(const TemporaryFolder& folder, const std::string& events,
                    const std::string& keys, const std::string& effects = "{ Task = 3.0 }") {
  try {
    loadWith(folder, events, keys, effects);
  } catch (const formats::InputError& error) {
    return error.what();
  }
  return "(loaded)";
}

TEST(StudyEvents, DefaultRunCoversTheLastEventAndItsResponse) {
  const TemporaryFolder folder;
  // The last event ends at 21 s: (21 + 32) / 2 = 26.5, so 27 volumes.
  EXPECT_EQ(loadWith(folder, "0\t1\tTask\n20\t1\tTask\n", "tr = 2.0").grid.timePoints, 27);
  // Exactly a whole number of volumes stays that number: (28 + 32) / 2 = 30.
  EXPECT_EQ(loadWith(folder, "20\t8\tTask\n", "tr = 2.0").grid.timePoints, 30);
}

TEST(StudyEvents, EventsPastTheRunAreLeftOutOrKeptAndWarnedAbout) {
  const TemporaryFolder folder;
  // 10 volumes of 2 s: the event at 16 s ends after the run, those at 20 and 30 s start
  // at or after its end.
  const Study study = loadWith(
      folder, "0\t6\tTask\n8\t6\tRest\n16\t6\tTask\n20\t6\tTask\n30\t6\tRest\n",
      "tr = 2.0\nvolumes = 10");
  EXPECT_TRUE(mentions(study.warnings, "2 event(s) of the protocol start at or after the end "
                                       "of the run's 10 volumes (20 s)"));
  EXPECT_TRUE(mentions(study.warnings, "1 event(s) of the protocol end after"));
  const design::Protocol shown =
      runEvents(study.protocol, study.runMilliseconds(), study.grid.trMilliseconds, study.rest);
  ASSERT_EQ(shown.conditions.size(), 1u);  // Rest is the baseline
  EXPECT_EQ(shown.conditions[0].name, "Task");
  EXPECT_EQ(shown.conditions[0].intervals.size(), 2u);
}

TEST(StudyEvents, ConditionWithAnEffectButNoEventInTheRunIsRefused) {
  const TemporaryFolder folder;
  const std::string message =
      refusal(folder, "0\t4\tRest\n40\t4\tTask\n", "tr = 2.0\nvolumes = 10");
  EXPECT_NE(message.find("key volumes: condition \"Task\" has an effect but no event within "
                         "the run's 10 volumes (20 s)"),
            std::string::npos)
      << message;
}

TEST(StudyRest, DefaultRuleNamedListAndConditionsWithEffects) {
  const TemporaryFolder folder;
  const std::string events = "0\t4\tREST\n4\t4\tTask\n8\t4\tFixation\n12\t4\tCue\n";
  EXPECT_EQ(loadWith(folder, events, "").rest, (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(loadWith(folder, events, "rest = [\"Cue\"]").rest,
            (std::vector<bool>{false, false, false, true}));
  EXPECT_EQ(loadWith(folder, events, "rest = []").rest, std::vector<bool>(4, false));
  // A condition with an effect is never rest: not by the default rule, and naming it
  // is refused.
  EXPECT_EQ(loadWith(folder, events, "", "{ Task = 3.0, REST = 1.0 }").rest,
            (std::vector<bool>{false, false, true, false}));
  EXPECT_NE(refusal(folder, events, "rest = [\"Task\"]").find("has an effect, so it is not rest"),
            std::string::npos);
  EXPECT_NE(refusal(folder, events, "rest = [\"Pause\"]").find("found \"Pause\""),
            std::string::npos);
}

TEST(StudyEffects, PeakUnitsScaleThePredictorsLargestValueToTheAmount) {
  const TemporaryFolder folder;
  const std::string events = "0\t1\tTask\n20\t1\tTask\n10\t1\tCue\n";
  const Study study =
      loadWith(folder, events, "baseline = 400", "{ Task = \"2% peak\", Cue = \"3 peak\" }");
  const auto peakOf = [&](std::size_t c) {
    const std::vector<float>& values = study.runDesign(0).predictors[c];
    return static_cast<double>(*std::max_element(values.begin(), values.end()));
  };
  // amplitude = float(A / peak): the product is A to the amplitude's rounding.
  const double tolerance = 2.0 * FLT_EPSILON;
  const std::vector<float> amplitudes = study.amplitudes(0, 0);
  EXPECT_NEAR(amplitudes[0] * peakOf(0) / 8.0, 1.0, tolerance);  // 2% of 400
  EXPECT_NEAR(amplitudes[1] * peakOf(1) / 3.0, 1.0, tolerance);
  // A 1 s event's response peaks far below a long block's plateau, the unit of "2%".
  EXPECT_LT(peakOf(0), 0.5);
  EXPECT_EQ(study.regions[0].effectsAsWritten, (std::vector<std::string>{"Cue=3 peak", "Task=2% peak"}));
}

TEST(StudyRegions, RegionReachingOutOfTheGridIsClippedWithTheShareKept) {
  const TemporaryFolder folder;
  folder.write("events.tsv", "onset\tduration\ttrial_type\n0\t4\tTask\n");
  const auto file = folder.write(
      "study.toml",
      "protocol = \"events.tsv\"\n[grid]\nbox = [100, 106, 100, 106, 100, 106]\n"
      "resolution = 1\n[[region]]\nname = \"corner\"\ncentre_voxel = [100, 100, 100]\n"
      "radius_voxels = 1\neffects = { Task = 1.0 }\n");
  const Study study = loadStudy(file, {});
  // Of the 7 offsets with |d| <= 1, the centre and the three towards the grid are kept.
  EXPECT_EQ(study.regions[0].voxels.size(), 4u);
  EXPECT_TRUE(mentions(study.warnings,
                       "region \"corner\" reaches out of the grid; 57% of it is kept (4 grid voxels)"));
}

}  // namespace
}  // namespace tolvane::study
