// Complete runs in both cluster modes: every host call, every log line and prompt,
// and every VTC value against the plain passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "numerics/random_state.h"
#include "plugin/tolvane_plugin.h"
#include "tests/plugin/fake_host.h"
#include "tests/simulation/reference_passes.h"
#include "tests/support/generator_state.h"

namespace {

using tolvane::random::GeneratorState;
using tolvane::random::generatorState;

constexpr int kTimePoints = 12;

bool runPlugin() {
  TolvanePlugin plugin;
  return plugin.execute();
}

reference::Grid gridOf(const fake_host::Config& c, int nT) {
  return {(c.xEnd - c.xStart) / c.resolution,
          (c.yEnd - c.yStart) / c.resolution,
          (c.zEnd - c.zStart) / c.resolution,
          nT,
          c.xStart,
          c.yStart,
          c.zStart,
          c.resolution};
}

std::vector<float> predictor(int k, int nT) {
  std::vector<float> p;
  for (int t = 0; t < nT; ++t) p.push_back(fake_host::predictorValue(k, t));
  return p;
}

// Expects the run's VTC to equal the plain passes drawn from the given generator state.
void expectSameValues(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_EQ(std::bit_cast<std::uint32_t>(actual[i]), std::bit_cast<std::uint32_t>(expected[i]))
        << "element " << i;
}

// The VTC that the plain passes make for the host's grid when the generator starts
// from `before`: the noise pass, then whatever signal passes `signal` runs. Leaves the
// generator where those passes leave it.
template <typename SignalPasses>
std::vector<float> plainPasses(const GeneratorState& before, const fake_host::State& host,
                               SignalPasses signal) {
  generatorState() = before;
  const reference::Grid grid = gridOf(host.config, kTimePoints);
  std::vector<float> expected(host.vtc.size());
  int seed = -1;
  reference::noise(grid, expected, &seed);
  signal(grid, expected, &seed);
  return expected;
}

fake_host::Config sphereConfig() {
  fake_host::Config c;
  c.cross[0] = 112;
  c.cross[1] = 109;
  c.cross[2] = 109;
  c.integerAnswers = {kTimePoints, 2};
  c.yesNoAnswers = {1};
  return c;
}

}  // namespace

TEST(SphereRun, CallsTheHostInOrderWithTheExactTexts) {
  fake_host::State& host = fake_host::reset(sphereConfig());
  ASSERT_TRUE(runPlugin());
  const std::vector<std::string> expected = {
      "hvGetVersionOfHelvara()",
      "hvShowLogTab()",
      "hvLogText( )",
      "hvLogText(// Plugin>  Running Tolvane...)",
      "hvGetCurrentVMR()",
      "hvGetIntegerInput(Enter number of simulated time points:|250|1|1000)",
      "hvCreateVTCForCurrentVMR(12|0)",
      "hvGetHeaderOfVTCOfCurrentVMR()",
      "hvGetVTCFloatDataOfCurrentVMR()",
      "hvLogText(// Plugin>  Dims of created VTC, X: 10  Y: 8  Z: 6)",
      "hvGetOpenFileName(Provide a protocol file:||Protocol Files (*.prt))",
      "hvSetHeaderOfVTCOfCurrentVMR(/data/block.prt)",
      "hvGetProtocol()",
      "hvClearDesignMatrix()",
      "hvGetProtocolCondition(0)",
      "hvAddPredictor(Rest)",
      "hvSetPredictorValuesFromCondition(Rest|0|1.000000)",
      "hvApplyTwoGammaHRFToPredictor(0)",
      "hvGetProtocolCondition(1)",
      "hvAddPredictor(Task)",
      "hvSetPredictorValuesFromCondition(Task|1|1.000000)",
      "hvApplyTwoGammaHRFToPredictor(1)",
      "hvSaveSingleStudyGLMDesignMatrix(plugin_created.rtc)",
      "hvGetVOIs()",
      "hvGetProtocolCondition(0)",
      "hvGetProtocolCondition(1)",
      "hvGetIntegerInput(Select condition:\n\n1: Rest\n2: Task\n\n|2|1|2)",
      "hvYesNoMessageBox(Do you want to use the cross position as the cluster center ?)",
      "hvGetCrossPositionOfCurrentVMR()",
      "hvLogText(// Plugin>  Selected position: X: 112  Y: 109  Z: 109)",
      "hvLogText(// Plugin>  Creating noise data...)",
      "hvShowBusyCursor()",
      "hvLogText(// Plugin>    10 / 12 ...)",
      "hvLogText(// Plugin>    12 / 12 ...)",
      "hvLogText(// Plugin>  Creating signal + noise data...)",
      "hvGetPredictor(1)",
      "hvStopBusyCursor()",
      "hvGetSaveFileName(Enter Name For Saving Created VTC File:|Simulated.vtc|Volume Time "
      "Course Files (*.vtc))",
      "hvLogText(// Plugin>  Saving created VTC file as \"Simulated.vtc\"...)",
      "hvShowBusyCursor()",
      "hvSaveVTCOfCurrentVMR(Simulated.vtc)",
      "hvStopBusyCursor()",
      "hvLogText(// Plugin>  Tolvane Plugin completed!)",
      "hvLogText( )",
      "hvUpdateActiveWindow()",
  };
  EXPECT_EQ(host.calls, expected);
  EXPECT_EQ(host.busyDepth, 0);
}

TEST(SphereRun, EveryValueMatchesThePlainPassesAndTheGeneratorEndsAlike) {
  const GeneratorState before = generatorState();
  fake_host::State& host = fake_host::reset(sphereConfig());
  ASSERT_TRUE(runPlugin());
  const GeneratorState afterRun = generatorState();

  expectSameValues(host.vtc, plainPasses(before, host, [](auto& grid, auto& v, int* seed) {
                     reference::sphereSignal(grid, v, 112, 109, 109, predictor(1, kTimePoints),
                                             seed);
                   }));
  EXPECT_TRUE(sameGeneratorState(afterRun, generatorState()));
}

TEST(SphereRun, EnteredCentreIsAskedWithinTheBoundingBox) {
  fake_host::Config config = sphereConfig();
  config.yesNoAnswers = {0};
  config.integerAnswers = {kTimePoints, 1, 115, 112, 106};
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  ASSERT_EQ(host.prompts.size(), 5u);
  const std::vector<std::string> centreCalls(host.calls.begin() + 28, host.calls.begin() + 31);
  EXPECT_EQ(centreCalls,
            (std::vector<std::string>{
                "hvGetIntegerInput(Enter X position of simulated cluster: |128|102|128)",
                "hvGetIntegerInput(Enter Y position of simulated cluster: |128|102|122)",
                "hvGetIntegerInput(Enter Z position of simulated cluster: |128|102|116)"}));
  EXPECT_EQ(host.log[3], "// Plugin>  Selected position: X: 115  Y: 112  Z: 106");
  EXPECT_EQ(host.calls[37], "hvGetPredictor(0)");
}

TEST(SphereRun, NoVoisMeansNoVoiQuestionAndAnsweringNoToItLeadsToTheSphere) {
  fake_host::State& host = fake_host::reset(sphereConfig());
  ASSERT_TRUE(runPlugin());
  for (const std::string& call : host.calls)
    EXPECT_EQ(call.find("available VOIs"), std::string::npos);

  fake_host::Config config = sphereConfig();
  config.vois = {{"V1", {112, 109, 109}}};
  config.yesNoAnswers = {0, 1};
  fake_host::State& declined = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  EXPECT_EQ(
      declined.calls[24],
      "hvYesNoMessageBox(Do you want to use the available VOIs to define simulated clusters?)");
  EXPECT_EQ(declined.prompts[1], "Select condition:\n\n1: Rest\n2: Task\n\n");
}

TEST(SphereRun, SphereAtTheGridCornerSkipsOutsideVoxelsButKeepsEveryDraw) {
  const GeneratorState before = generatorState();
  fake_host::Config config = sphereConfig();
  config.cross[0] = 100;  // grid voxel (0, 0, 0)
  config.cross[1] = 100;
  config.cross[2] = 100;
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  // Of the 33 offsets, those with no negative component lie in the grid: the centre,
  // 3 at distance 1, 3 at distance 2, 3 at sqrt(2) and 1 at sqrt(3); 22 lie outside.
  EXPECT_NE(std::find(host.log.begin(), host.log.end(),
                      "// Plugin>  22 cluster voxel(s) outside the VTC were skipped"),
            host.log.end());

  expectSameValues(host.vtc, plainPasses(before, host, [](auto& grid, auto& v, int* seed) {
                     reference::sphereSignal(grid, v, 100, 100, 100, predictor(1, kTimePoints),
                                             seed);
                   }));
}

TEST(FirstRun, FirstTwoDeviatesLandAtTimeZeroOfNeighbouringVoxels) {
  generatorState() = GeneratorState{};  // as when the module has just been loaded
  fake_host::State& host = fake_host::reset(sphereConfig());
  ASSERT_TRUE(runPlugin());
  EXPECT_NEAR(host.vtc[0], 95.8157f, 1e-4f);            // (0,0,0) at t = 0
  EXPECT_NEAR(host.vtc[kTimePoints], 99.1386f, 1e-4f);  // (1,0,0) at t = 0
}

TEST(ConsecutiveRuns, APendingDeviateFromTheFirstRunIsTheSecondRunsFirstValue) {
  // 2 x 1 x 1 voxels and one time point: 2 noise draws + 33 sphere draws = 35, odd.
  fake_host::Config config = sphereConfig();
  config.xStart = 0, config.xEnd = 6, config.yStart = 0, config.yEnd = 3;
  config.zStart = 0, config.zEnd = 3;
  config.cross[0] = config.cross[1] = config.cross[2] = 0;
  config.integerAnswers = {1, 2};
  fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  ASSERT_TRUE(generatorState().deviatePending);
  const float pending = generatorState().pendingDeviate;

  config.integerAnswers = {1, 2};
  config.cross[0] = config.cross[1] = config.cross[2] = 200;  // far away: noise stays
  fake_host::State& second = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  EXPECT_EQ(std::bit_cast<std::uint32_t>(second.vtc[0]),
            std::bit_cast<std::uint32_t>(5.0f * pending + 100.0f));
}

TEST(VoiRun, AsksOnePredictorPerVoiAndWritesEveryListedVoxel) {
  const GeneratorState before = generatorState();
  fake_host::Config config;
  config.vois = {
      {"Left V1", {103, 103, 103, 112, 109, 109, 103, 103, 103}},  // one listed twice
      {"Empty", {}},
      {"Right <b>MT</b>", {106, 100, 112, 400, 400, 400, 112, 109, 109}}};  // one outside,
                                                                            // one shared
  config.integerAnswers = {kTimePoints, 1, 2, 2};
  config.yesNoAnswers = {1};
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());

  const std::string list = "1: Rest<br>2: Task<br>";
  EXPECT_EQ(host.prompts[1], "Select predictor for VOI: <b>Left V1</b>:<br><br>" + list);
  EXPECT_EQ(host.prompts[2], "Select predictor for VOI: <b>Empty</b>:<br><br>" + list);
  EXPECT_EQ(host.prompts[3], "Select predictor for VOI: <b>Right <b>MT</b></b>:<br><br>" + list);
  const std::vector<std::string> expectedLog = {
      " ",
      "// Plugin>  Running Tolvane...",
      "// Plugin>  Dims of created VTC, X: 10  Y: 8  Z: 6",
      "// Plugin>  Creating noise data...",
      "// Plugin>    10 / 12 ...",
      "// Plugin>    12 / 12 ...",
      "// Plugin>  Creating signal + noise data...",
      "// Plugin>    VOI 1 / 3 ...",
      "// Plugin>    VOI 2 / 3 ...",
      "// Plugin>    VOI 3 / 3 ...",
      "// Plugin>  1 cluster voxel(s) outside the VTC were skipped",
      "// Plugin>  Saving created VTC file as \"Simulated.vtc\"...",
      "// Plugin>  Tolvane Plugin completed!",
      " "};
  EXPECT_EQ(host.log, expectedLog);

  const auto rest = predictor(0, kTimePoints), task = predictor(1, kTimePoints);
  expectSameValues(host.vtc, plainPasses(before, host, [&](auto& grid, auto& v, int* seed) {
                     reference::voxelSignal(grid, v, 103, 103, 103, rest, seed);
                     reference::voxelSignal(grid, v, 112, 109, 109, rest, seed);
                     reference::voxelSignal(grid, v, 103, 103, 103, rest, seed);
                     reference::voxelSignal(grid, v, 106, 100, 112, task, seed);
                     reference::voxelSignal(grid, v, 400, 400, 400, task, seed);
                     reference::voxelSignal(grid, v, 112, 109, 109, task,
                                            seed);  // last write stays
                   }));
}

TEST(VoiRun, ExtremeFlippedVoxelIsSkippedWithoutOverflow) {
  // 128 - (-2^31) does not fit 32 bits; the voxel lies far outside and only draws.
  const GeneratorState before = generatorState();
  fake_host::Config config;
  config.referenceSpace = 3;
  config.vois = {{"Extreme", {INT32_MIN, INT32_MIN, INT32_MIN}}};
  config.integerAnswers = {kTimePoints, 2};
  config.yesNoAnswers = {1};
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  EXPECT_NE(std::find(host.log.begin(), host.log.end(),
                      "// Plugin>  1 cluster voxel(s) outside the VTC were skipped"),
            host.log.end());

  // Only the draws of the skipped voxel: any voxel outside stands in for it.
  expectSameValues(host.vtc, plainPasses(before, host, [](auto& grid, auto& v, int* seed) {
                     reference::voxelSignal(grid, v, 400, 400, 400, predictor(1, kTimePoints),
                                            seed);
                   }));
}

TEST(VoiRun, NegativeVoxelCountIsAnEmptyVoi) {
  const GeneratorState before = generatorState();
  fake_host::Config config;
  config.vois = {{"Broken", {112, 109, 109}}};
  config.voxelCountOverride = -5;
  config.integerAnswers = {kTimePoints, 2};
  config.yesNoAnswers = {1};
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  const GeneratorState afterRun = generatorState();

  expectSameValues(host.vtc, plainPasses(before, host, [](auto&, auto&, int*) {}));
  EXPECT_TRUE(sameGeneratorState(afterRun, generatorState()));  // the VOI drew nothing
}

TEST(VoiRun, ReferenceSpaceThreeFlipsTheStoredTriple) {
  const GeneratorState before = generatorState();
  fake_host::Config config;
  config.referenceSpace = 3;
  // Stored (c0, c1, c2) = (19, 19, 22) is VMR (128 - 19, 128 - 22, 128 - 19) = (109, 106, 109).
  config.vois = {{"Flipped", {19, 19, 22}}};
  config.integerAnswers = {kTimePoints, 2};
  config.yesNoAnswers = {1};
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());

  expectSameValues(host.vtc, plainPasses(before, host, [](auto& grid, auto& v, int* seed) {
                     reference::voxelSignal(grid, v, 109, 106, 109, predictor(1, kTimePoints),
                                            seed);
                   }));
}

TEST(Texts, LongNamesAndPathsAreNeverCut) {
  fake_host::Config config = sphereConfig();
  const std::string longName(900, 'c');
  config.conditions = {longName, "Task", longName + "2"};
  config.protocolPath = "/" + std::string(259, 'p');
  config.saveName = "/" + std::string(259, 's');
  fake_host::State& host = fake_host::reset(config);
  ASSERT_TRUE(runPlugin());
  EXPECT_EQ(host.prompts[1], "Select condition:\n\n1: " + longName.substr(0, 271) +
                                 "\n2: Task\n3: " + longName.substr(0, 271) + "\n\n");
  EXPECT_EQ(std::string(host.storedHeader.ProtocolFile), config.protocolPath);
  EXPECT_EQ(host.savedAs, config.saveName);
  EXPECT_EQ(host.log[host.log.size() - 3],
            "// Plugin>  Saving created VTC file as \"" + config.saveName + "\"...");
}
