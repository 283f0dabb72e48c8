// What a study's progress shows: on a terminal, the volumes written of each run in
// progress and a pace that counts them; elsewhere, one line per finished run.
#include "tolvane/simulate/study_progress.h"

#include <gtest/gtest.h>

#include <sstream>

using tolvane::simulate::StudyProgress;

TEST(StudyProgress, OnATerminalShowsEachRunningJobsVolumesAndEstimatesFromThem) {
  std::ostringstream out;
  {
    StudyProgress progress(out, 2, 250, 2, true);
    progress.runStarted(0);
    progress.runVolumes(0, 125);
    progress.runStarted(1);  // redraws: job 0 halfway, job 1 at its start
    EXPECT_NE(out.str().find("0/2 runs; running: 125, 0 of 250 volumes"), std::string::npos)
        << out.str();
    // Half a run done in all: an estimate is given before any run has finished.
    EXPECT_NE(out.str().find("left"), std::string::npos) << out.str();
    progress.runFinished(0, "sub-01 run 1");
    EXPECT_NE(out.str().find("1/2 runs; running: 0 of 250 volumes"), std::string::npos)
        << out.str();
    progress.runFinished(1, "sub-02 run 1");
  }
  const std::string last = out.str().substr(out.str().rfind('\r'));
  EXPECT_NE(last.find("2/2 runs  "), std::string::npos) << last;
  EXPECT_EQ(last.find("running"), std::string::npos) << last;
  EXPECT_EQ(out.str().back(), '\n');
}

TEST(StudyProgress, ElsewhereWritesOneLinePerFinishedRunAndNothingElse) {
  std::ostringstream out;
  {
    StudyProgress progress(out, 2, 250, 1, false);
    progress.runStarted(0);
    progress.runVolumes(0, 100);
    progress.runFinished(0, "sub-01 run 1");
    progress.runStarted(0);
    progress.runFinished(0, "sub-01 run 2");
  }
  EXPECT_EQ(out.str(),
            "tolvane: sub-01 run 1 written (1 of 2 runs)\n"
            "tolvane: sub-01 run 2 written (2 of 2 runs)\n");
}
