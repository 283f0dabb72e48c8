// Every early end of a run: its message (or none), its result, what it leaves in
// the host, and the busy indication ended where the run had started it.
#include <gtest/gtest.h>

#include <algorithm>

#include "plugin/tolvane_plugin.h"
#include "tests/plugin/fake_host.h"

namespace {

bool runPlugin() {
  TolvanePlugin plugin;
  return plugin.execute();
}

fake_host::Config baseConfig() {
  fake_host::Config c;
  c.cross[0] = 112;
  c.cross[1] = 109;
  c.cross[2] = 109;
  c.integerAnswers = {12, 2};
  c.yesNoAnswers = {1};
  return c;
}

bool called(const fake_host::State& host, const std::string& prefix) {
  return std::any_of(host.calls.begin(), host.calls.end(),
                     [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
}

}  // namespace

TEST(EarlyEnd, OldHostGetsTheVersionMessageAndAnUntouchedLog) {
  fake_host::Config config = baseConfig();
  config.version[0] = 1, config.version[1] = 9, config.version[2] = 9;
  fake_host::State& host = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_EQ(host.messages, std::vector<std::string>{
                               "Can not execute this plugin - Helvara version 2.0.0 or higher "
                               "required."});
  EXPECT_TRUE(host.log.empty());
  EXPECT_EQ(host.calls.size(), 2u);
}

TEST(EarlyEnd, MissingOrWrongSizedVmrIsExplainedBeforeAnyPrompt) {
  fake_host::Config config = baseConfig();
  config.vmrOpen = false;
  fake_host::State& none = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_EQ(none.messages, std::vector<std::string>{
                               "This plugin requires a VMR to operate. Make sure that a VMR is "
                               "open and that its window is selected."});
  EXPECT_EQ(none.log, (std::vector<std::string>{" ", "// Plugin>  Running Tolvane..."}));

  config = baseConfig();
  config.vmrDims[2] = 128;
  fake_host::State& small = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_EQ(small.messages,
            std::vector<std::string>{"This plugin requires a VMR with \"256\" dimensions, "
                                     "preferentially a VMR in Talairach space."});
  EXPECT_TRUE(small.prompts.empty());
}

TEST(EarlyEnd, CancellationsEndSilently) {
  fake_host::Config config = baseConfig();
  config.integerAnswers = {0};
  fake_host::State& timePoints = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_TRUE(timePoints.messages.empty());
  EXPECT_FALSE(called(timePoints, "hvCreateVTCForCurrentVMR"));

  config = baseConfig();
  config.protocolPath.clear();
  fake_host::State& protocol = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_TRUE(protocol.messages.empty());
  EXPECT_TRUE(called(protocol, "hvCreateVTCForCurrentVMR(12|0)"));  // the VTC stays
  EXPECT_FALSE(called(protocol, "hvSetHeaderOfVTCOfCurrentVMR"));

  config = baseConfig();
  config.integerAnswers = {12, 0};
  fake_host::State& condition = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_TRUE(condition.messages.empty());
  EXPECT_TRUE(called(condition, "hvSaveSingleStudyGLMDesignMatrix(plugin_created.rtc)"));
  EXPECT_FALSE(called(condition, "hvShowBusyCursor"));

  config = baseConfig();
  config.vois = {{"A", {112, 109, 109}}, {"B", {112, 109, 109}}};
  config.integerAnswers = {12, 1, -3};
  fake_host::State& voiChoice = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_TRUE(voiChoice.messages.empty());
  EXPECT_EQ(voiChoice.prompts.size(), 3u);
}

TEST(EarlyEnd, VoiThatCannotBeHadWhileAskingEndsSilently) {
  fake_host::Config config = baseConfig();
  config.vois = {{"A", {112, 109, 109}}, {"B", {112, 109, 109}}};
  config.voiMissingAfterCalls = 1;
  fake_host::State& host = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(host.prompts.size(), 2u);  // time points, then VOI A only
}

TEST(EarlyEnd, MissingPredictorEndsTheBusyIndicationAndSaysSo) {
  fake_host::Config config = baseConfig();
  config.predictorMissingFrom = 1;
  fake_host::State& sphere = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_EQ(sphere.messages, std::vector<std::string>{"Error accessing predictor time course"});
  EXPECT_EQ(sphere.busyDepth, 0);
  EXPECT_EQ(sphere.calls.back(), "hvMessageBox(Error accessing predictor time course)");
  EXPECT_EQ(sphere.calls[sphere.calls.size() - 2], "hvStopBusyCursor()");

  config.vois = {{"A", {112, 109, 109}}, {"B", {112, 109, 109}}};
  config.integerAnswers = {12, 1, 2};
  fake_host::State& voi = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_EQ(voi.messages, std::vector<std::string>{"Error accessing predictor time course"});
  EXPECT_EQ(voi.busyDepth, 0);
  EXPECT_EQ(voi.log.back(), "// Plugin>    VOI 2 / 2 ...");  // logged before the failure
}

TEST(EarlyEnd, VoiThatCannotBeHadDuringTheSignalPassFailsLikeAMissingPredictor) {
  fake_host::Config config = baseConfig();
  config.vois = {{"A", {112, 109, 109}}};
  config.voiMissingAfterCalls = 1;  // served while asking, gone in the pass
  fake_host::State& host = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].find("VOI"), std::string::npos);
  EXPECT_EQ(host.busyDepth, 0);
  EXPECT_FALSE(called(host, "hvGetSaveFileName"));
}

TEST(EarlyEnd, UnusableGridOrMissingStorageIsExplainedAndNothingIsWritten) {
  fake_host::Config config = baseConfig();
  config.resolution = 0;
  fake_host::State& zero = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  ASSERT_EQ(zero.messages.size(), 1u);
  EXPECT_NE(zero.messages[0].find("resolution 0"), std::string::npos);
  EXPECT_EQ(zero.vtc, std::vector<float>{-1.0f});

  config = baseConfig();
  config.xEnd = config.xStart + 2;  // narrower than one voxel
  config.giveData = false;          // and no storage either
  fake_host::State& narrow = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  EXPECT_EQ(narrow.messages.size(), 1u);
  EXPECT_FALSE(called(narrow, "hvGetOpenFileName"));

  config = baseConfig();
  config.giveData = false;
  fake_host::State& noData = fake_host::reset(config);
  EXPECT_FALSE(runPlugin());
  ASSERT_EQ(noData.messages.size(), 1u);
  EXPECT_NE(noData.messages[0].find("no data storage"), std::string::npos);
  EXPECT_TRUE(
      std::all_of(noData.vtc.begin(), noData.vtc.end(), [](float v) { return v == -1.0f; }));
}

TEST(Completion, CancelledSaveStillCompletes) {
  fake_host::Config config = baseConfig();
  config.saveName.clear();
  fake_host::State& host = fake_host::reset(config);
  EXPECT_TRUE(runPlugin());
  EXPECT_FALSE(called(host, "hvSaveVTCOfCurrentVMR"));
  EXPECT_EQ(host.log[host.log.size() - 2], "// Plugin>  Tolvane Plugin completed!");
  EXPECT_EQ(host.busyDepth, 0);
}

TEST(Completion, OneConditionProtocolStillOffersTheDefaultTwo) {
  fake_host::Config config = baseConfig();
  config.conditions = {"Only"};
  config.integerAnswers = {12, 1};
  fake_host::State& host = fake_host::reset(config);
  EXPECT_TRUE(runPlugin());
  EXPECT_TRUE(called(host, "hvGetIntegerInput(Select condition:\n\n1: Only\n\n|2|1|1)"));
}
