// A host that lacks one of the operations a run calls: the run ends before calling
// any of them, since there may be nothing to show a message with.
#include <gtest/gtest.h>

#include "plugin/tolvane_plugin.h"
#include "tests/plugin/fake_host.h"

TEST(IncompleteHost, RunEndsBeforeCallingAnything) {
  fake_host::Config config;
  config.integerAnswers = {12, 2};
  config.yesNoAnswers = {1};
  fake_host::State& host = fake_host::reset(config);
  TolvanePlugin plugin;
  EXPECT_FALSE(plugin.execute());
  EXPECT_TRUE(host.calls.empty());
}
