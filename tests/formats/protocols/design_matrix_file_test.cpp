// The design matrix text file, read back.
#include <gtest/gtest.h>

#include <charconv>
#include <fstream>

#include "design/design_matrix.h"
#include "formats/protocols/design_matrix_file.h"
#include "formats/text_parsing.h"
#include "tests/support/temporary_folder.h"

using namespace tolvane::design;
using namespace tolvane::formats;

namespace {

constexpr double kTrMs = 2000.0;

Condition blocks(std::vector<Interval> intervals) { return {"c", std::move(intervals)}; }

}  // namespace

TEST(DesignMatrixFile, WritesNamesThenOneRowPerVolumeThatReadBackExactly) {
  TemporaryFolder folder;
  DesignMatrix matrix;
  matrix.addPredictor("Rest", 40);
  matrix.addPredictor("Task", 40);
  matrix.setFromCondition(0, blocks({{1, 20}}), TimeUnit::Volumes, kTrMs, 1.0f);
  matrix.setFromCondition(1, blocks({{21, 40}}), TimeUnit::Volumes, kTrMs, 1.0f);
  matrix.applyTwoGammaHrf(0, kTrMs);
  matrix.applyTwoGammaHrf(1, kTrMs);
  const auto file = folder.file("design.rtc");
  writeDesignMatrixFile(file, matrix, 40, kTrMs);

  std::ifstream in(file);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) {
    if (!isCommentOrBlank(line)) rows.push_back(line);
  }
  ASSERT_EQ(rows.size(), 41u);
  EXPECT_EQ(rows[0], "Rest\tTask");
  for (std::size_t v = 0; v < 40; ++v) {
    const auto fields = splitTabs(rows[v + 1]);
    ASSERT_EQ(fields.size(), 2u);
    for (std::size_t p = 0; p < 2; ++p) {
      float value = 0;
      std::from_chars(fields[p].data(), fields[p].data() + fields[p].size(), value);
      EXPECT_EQ(value, matrix[p].volumeValues[v]) << "volume " << v << " predictor " << p;
    }
  }
  EXPECT_EQ(folder.entryCount(), 1u);  // no temporary file left behind
}
