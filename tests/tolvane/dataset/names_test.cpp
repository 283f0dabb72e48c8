// The dataset's names: what one command writes, another must find again.
#include "tolvane/dataset/names.h"

#include <gtest/gtest.h>

namespace dataset = tolvane::dataset;

TEST(DatasetNames, AStatMapNameGivesBackItsContrastAndNothingElseDoes) {
  const std::string prefix = "sub-01_task-blocks_run-1";
  const std::string tMap =
      dataset::statMapStem(prefix, "TaskMinusRest", "t") + dataset::kMapExtension;
  EXPECT_EQ(tMap, "sub-01_task-blocks_run-1_contrast-TaskMinusRest_stat-t_statmap.nii.gz");
  EXPECT_EQ(dataset::statMapContrast(tMap, prefix, "t"), "TaskMinusRest");
  // Another statistic, another run, or the design table are not this run's t maps.
  EXPECT_EQ(dataset::statMapContrast(tMap, prefix, "p"), "");
  EXPECT_EQ(dataset::statMapContrast(tMap, "sub-01_task-blocks_run-2", "t"), "");
  EXPECT_EQ(dataset::statMapContrast(dataset::designTableName(prefix), prefix, "t"), "");

  EXPECT_TRUE(dataset::isEvaluationOf(dataset::evaluationName(prefix, "Task"), prefix, "Task"));
  EXPECT_FALSE(
      dataset::isEvaluationOf(dataset::evaluationName(prefix, "TaskMinusRest"), prefix, "Task"));
  EXPECT_EQ(dataset::groupStatMapStem("FacesMinusHouses", "t"),
            "group_contrast-FacesMinusHouses_stat-t_statmap");
}

TEST(DatasetNames, LabelsAreLettersAndDigitsAndStayDistinct) {
  EXPECT_EQ(dataset::conditionLabels({"Task", "Rest", "Task!", "- -"}),
            (std::vector<std::string>{"Task", "Rest", "condition3", "condition4"}));
  EXPECT_EQ(dataset::subjectEntity(7, 12), "sub-07");
  EXPECT_EQ(dataset::subjectEntity(7, 100), "sub-007");
}

TEST(DatasetNames, ARunsFilesSitInItsSubjectsFoldersAndOnlyASegmentationHasATable) {
  const dataset::DatasetFolders folders("study");
  const dataset::RunFiles run = dataset::runFiles(folders, "sub-02", "sub-02_task-t_run-3");
  EXPECT_EQ(run.bold, "study/sub-02/func/sub-02_task-t_run-3_bold.nii.gz");
  EXPECT_EQ(run.effectMap("Task"),
            "study/derivatives/tolvane/sub-02/func/sub-02_task-t_run-3_desc-Task_effect.nii.gz");
  EXPECT_EQ(run.glmFolder, "study/derivatives/tolvane-glm/sub-02/func");
  EXPECT_EQ(dataset::regionTableOf(run.labels), run.regionTable);
  EXPECT_EQ(dataset::regionTableOf(run.effectMap("Task")), "");
}
