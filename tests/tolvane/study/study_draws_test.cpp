// The study's random draws: generated designs, subjects' effects and region offsets,
// checked against the distributions they document and for reproducibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/temporary_folder.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/generated_design.h"
#include "tolvane/study/study.h"

namespace tolvane::study {
namespace {

const DesignSettings kFacesHouses{{"Faces", "Houses"}, 20, 1.0, 2.0, 4.0, 12.0};

// The gaps between trials (and before the first) of a generated run, in seconds.
std::vector<double> gapsOf(const design::Protocol& protocol) {
  std::vector<design::Interval> trials;
  for (const design::Condition& condition : protocol.conditions) {
    trials.insert(trials.end(), condition.intervals.begin(), condition.intervals.end());
  }
  std::sort(trials.begin(), trials.end(),
            [](const design::Interval& a, const design::Interval& b) { return a.begin < b.begin; });
  std::vector<double> gaps;
  double end = 0.0;
  for (const design::Interval& trial : trials) {
    gaps.push_back((trial.begin - end) / 1000.0);
    end = trial.end;
  }
  return gaps;
}

TEST(GeneratedDesign, EachRunHasItsOwnOrderAndTheSameSeedGivesTheSameRuns) {
  const design::Protocol first = generateDesign(kFacesHouses, 7, 0);
  const design::Protocol second = generateDesign(kFacesHouses, 7, 1);
  ASSERT_EQ(first.conditions.size(), 2u);
  for (const design::Condition& condition : first.conditions) {
    EXPECT_EQ(condition.intervals.size(), 20u);
    for (const design::Interval& trial : condition.intervals) EXPECT_EQ(trial.end - trial.begin, 1000.0);
  }
  const auto onsets = [](const design::Protocol& protocol) {
    std::vector<double> values;
    for (const design::Interval& trial : protocol.conditions[0].intervals) values.push_back(trial.begin);
    return values;
  };
  EXPECT_NE(onsets(first), onsets(second));
  EXPECT_NE(onsets(first), onsets(generateDesign(kFacesHouses, 8, 0)));
  EXPECT_EQ(onsets(first), onsets(generateDesign(kFacesHouses, 7, 0)));
}

TEST(GeneratedDesign, GapsFollowTheTruncatedExponentialsBoundsAndMean) {
  // 500 runs of 40 gaps. The gaps' sd is about 1.9 s, so the mean of 20000 has a
  // standard error of about 0.014 s; 0.06 s is more than four of them.
  std::vector<double> gaps;
  for (int place = 0; place < 500; ++place) {
    const std::vector<double> run = gapsOf(generateDesign(kFacesHouses, 3, place));
    gaps.insert(gaps.end(), run.begin(), run.end());
  }
  EXPECT_GE(*std::min_element(gaps.begin(), gaps.end()), 2.0);
  EXPECT_LE(*std::max_element(gaps.begin(), gaps.end()), 12.0);
  double sum = 0.0;
  for (const double gap : gaps) sum += gap;
  EXPECT_NEAR(sum / static_cast<double>(gaps.size()), 4.0, 0.06);
  // Half the gaps lie below the median of the distribution, ln(2 / (1 + e^(-lambda T)))
  // / lambda above min: the shape, not only the mean. The share's standard error is
  // 0.0035.
  const double rate = truncatedExponentialRate(2.0, 10.0);
  const double median = 2.0 + std::log(2.0 / (1.0 + std::exp(-rate * 10.0))) / rate;
  const auto below = std::count_if(gaps.begin(), gaps.end(), [&](double g) { return g < median; });
  EXPECT_NEAR(static_cast<double>(below) / static_cast<double>(gaps.size()), 0.5, 0.015);
}

// A study of `subjects` subjects of two runs on a 6^3 grid, with the given region keys.
Study drawnStudy(const TemporaryFolder& folder, int subjects, const std::string& region) {
  folder.write("events.tsv", "onset\tduration\ttrial_type\n0\t10\tTask\n");
  const auto file = folder.write(
      "study.toml", "seed = 5\nsubjects = " + std::to_string(subjects) +
                        "\nruns = 2\nprotocol = \"events.tsv\"\nbaseline = 100\n"
                        "[grid]\nbox = [100, 112, 100, 112, 100, 112]\nresolution = 1\n"
                        "[[region]]\ncentre_voxel = [106, 106, 106]\nradius_voxels = 1\n" +
                        region + "\n");
  return loadStudy(file, {});
}

double meanOf(const std::vector<double>& values) {
  double sum = 0.0;
  for (const double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

double sdOf(const std::vector<double>& values) {
  const double mean = meanOf(values);
  double sum = 0.0;
  for (const double v : values) sum += (v - mean) * (v - mean);
  return std::sqrt(sum / static_cast<double>(values.size() - 1));
}

TEST(SubjectEffects, DrawnPerSubjectWithTheRequestedMeanAndSdAndPerRunWithTheRunSd) {
  const TemporaryFolder folder;
  const Study study =
      drawnStudy(folder, 200, "effects = { Task = { mean = \"4%\", sd = 1.0, run_sd = 0.25 } }");
  std::vector<double> subjects, runDifferences;
  for (int subject = 0; subject < 200; ++subject) {
    const double first = study.amplitudes(0, 2 * subject)[0];
    const double second = study.amplitudes(0, 2 * subject + 1)[0];
    subjects.push_back(0.5 * (first + second));
    runDifferences.push_back(second - first);
  }
  // A subject's mean of two runs has sd sqrt(1 + 0.25^2 / 2) = 1.016; over 200 subjects
  // the mean's standard error is 0.072 and the sd's about 0.051: four of each.
  EXPECT_NEAR(meanOf(subjects), 4.0, 0.29);
  EXPECT_NEAR(sdOf(subjects), 1.016, 0.2);
  // Two runs of a subject differ by the run draws alone: sd 0.25 sqrt(2) = 0.354,
  // standard error about 0.018.
  EXPECT_NEAR(sdOf(runDifferences), 0.354, 0.072);
  EXPECT_NEAR(meanOf(runDifferences), 0.0, 0.1);
}

TEST(SubjectEffects, JitterMovesEachSubjectsRegionByRoundedNormalOffsets) {
  const TemporaryFolder folder;
  // 1 mm grid voxels and jitter 2 mm: offsets round(2 z) along each axis.
  const Study study = drawnStudy(folder, 200, "jitter_mm = 2\neffects = { Task = 1.0 }");
  std::vector<double> offsets;
  for (int subject = 1; subject <= 200; ++subject) {
    const std::array<int, 3> offset = study.regionOffset(0, subject);
    EXPECT_EQ(offset, study.regionOffset(0, subject));  // the same for every run
    offsets.insert(offsets.end(), offset.begin(), offset.end());
  }
  // round(2 z) has sd sqrt(4 + 1/12) = 2.02 (rounding adds a uniform's variance);
  // over 600 values the sd's standard error is 0.06.
  EXPECT_NEAR(meanOf(offsets), 0.0, 0.33);
  EXPECT_NEAR(sdOf(offsets), 2.02, 0.25);
  // Each run's truth has the region moved by its subject's offset, whole.
  const simulate::Truth truth = simulate::runTruth(study, 2 * 6 + 1);  // subject 7, run 2
  EXPECT_EQ(truth.regionOffsets[0], study.regionOffset(0, 7));
  const std::size_t inside = truth.labelTable[0].voxelCount;
  EXPECT_LE(inside, 7u);
  EXPECT_EQ(std::count(truth.labels.begin(), truth.labels.end(), 1), static_cast<long>(inside));
}

}  // namespace
}  // namespace tolvane::study
