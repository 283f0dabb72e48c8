// An in-process host for driving runs of the plug-in in tests. It exports the host
// operations from the test executable, records every call with its arguments, serves
// scripted answers, and owns a VTC, a design matrix and VOIs of the size a test asks
// for.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "plugin/host_interface.h"

namespace fake_host {

struct Voi {
  std::string name;
  std::vector<int> voxels;  // triples c0, c1, c2
};

struct Config {
  int version[3] = {2, 4, 0};
  bool vmrOpen = true;
  int vmrDims[3] = {256, 256, 256};
  int cross[3] = {128, 128, 128};
  // VTC created for the current VMR.
  int xStart = 100, xEnd = 130, yStart = 100, yEnd = 124, zStart = 100, zEnd = 118;
  int resolution = 3;
  bool giveData = true;
  // Protocol conditions; predictor k holds a ramp that tells the conditions apart.
  std::vector<std::string> conditions = {"Rest", "Task"};
  std::vector<Voi> vois;
  int referenceSpace = 2;
  // Answers, consumed in order.
  std::deque<int> integerAnswers;
  std::deque<int> yesNoAnswers;
  std::string protocolPath = "/data/block.prt";  // empty: the dialogue is cancelled
  std::string saveName = "Simulated.vtc";        // empty: the dialogue is cancelled
  // Failures to inject.
  int predictorMissingFrom = -1;          // hvGetPredictor returns null for this index
  int voiMissingAfterCalls = -1;          // hvGetVOI returns null from this call on (0-based count)
  std::optional<int> voxelCountOverride;  // NumberOfVoxels that hvGetVOI reports
};

struct State {
  Config config;
  std::vector<std::string> calls;     // "name(arg|arg|...)" in order
  std::vector<std::string> log;       // hvLogText lines
  std::vector<std::string> messages;  // hvMessageBox texts
  std::vector<std::string> prompts;   // hvGetIntegerInput prompts
  std::vector<float> vtc;
  int timePoints = 0;
  VTCHeader storedHeader{};
  std::vector<std::vector<float>> predictors;
  int voiCalls = 0;
  int busyDepth = 0;
  std::string savedAs;
};

// Starts a fresh host with the given configuration.
State& reset(const Config& config);
State& state();

// The values predictor k holds at time t, as the fake design matrix makes them.
float predictorValue(int k, int t);

}  // namespace fake_host
