// One simulation run: the dialogue with the user, the host's documents, the passes
// that fill the VTC, and the offer to save.
//
// Every host service is reached through the host function table, filled afresh at the
// start of each run. Status and progress lines in the log carry the prefixes of
// simulation/run_log.h; errors the user must see go to the message box, cancellations
// end the run silently. Texts are composed in std::string, so long condition names, VOI
// names or paths are never cut. The run returns true when it reaches its end (saved
// or not) and false on every early end.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "numerics/random_state.h"
#include "plugin/host_table.h"
#include "plugin/tolvane_plugin.h"
#include "simulation/run_log.h"
#include "simulation/synthesis.h"

namespace {

using tolvane::simulation::DeviateStream;
using tolvane::simulation::kProgressPrefix;
using tolvane::simulation::kSelectedPositionText;
using tolvane::simulation::kSkippedVoxelsText;
using tolvane::simulation::kStatusPrefix;
using tolvane::simulation::VtcGrid;

constexpr int kRequiredVmrDimension = 256;
constexpr int kDefaultTimePoints = 250;
constexpr int kMaxTimePoints = 1000;
constexpr int kDefaultChoice = 2;
constexpr int kDefaultCentre = 128;
constexpr int kCentreMargin = 2;  // centre prompts keep the centre this far inside the box
constexpr const char* kDesignMatrixFile = "plugin_created.rtc";

void logLine(const std::string& line) { host_table::hvLogText(line.c_str()); }

void logStatus(const std::string& text) { logLine(std::string(kStatusPrefix) + text); }

void logProgress(const std::string& text) { logLine(std::string(kProgressPrefix) + text); }

// A text field that the host filled, up to its terminator or the field's end.
template <std::size_t N>
std::string hostText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string number(int value) { return std::to_string(value); }

// The chosen cluster: the predictor of each VOI, or the sphere's centre and predictor.
struct Cluster {
  bool useVois = false;
  std::unique_ptr<int[]> predictorOfVoi;  // released on every way out of the run
  int voiCount = 0;
  int centreX = 0, centreY = 0, centreZ = 0;
  int spherePredictor = 0;
};

// A derived grid that cannot hold data, or a host that gave no storage, must not be
// written to; the user learns why.
bool gridIsUsable(const VTCHeader& header, const float* data) {
  if (data == nullptr) {
    host_table::hvMessageBox(
        "The host provided no data storage for the created VTC; nothing was "
        "simulated.");
    return false;
  }
  const int resolution = header.Resolution;
  const bool dimensionsPositive =
      resolution > 0 && (header.XEnd - header.XStart) / resolution > 0 &&
      (header.YEnd - header.YStart) / resolution > 0 &&
      (header.ZEnd - header.ZStart) / resolution > 0 && header.NumberOfTimePoints > 0;
  if (!dimensionsPositive) {
    host_table::hvMessageBox(
        ("The created VTC has no usable grid (bounding box X " + number(header.XStart) + "-" +
         number(header.XEnd) + ", Y " + number(header.YStart) + "-" + number(header.YEnd) + ", Z " +
         number(header.ZStart) + "-" + number(header.ZEnd) + ", resolution " + number(resolution) +
         ", " + number(header.NumberOfTimePoints) + " time points); nothing was simulated.")
            .c_str());
    return false;
  }
  return true;
}

// Names every condition as "k: name" followed by the separator, k counting from 1.
std::string conditionList(int conditionCount, const char* separator) {
  std::string list;
  for (int i = 0; i < conditionCount; ++i) {
    ConditionInfo condition{};
    host_table::hvGetProtocolCondition(i, &condition);
    list += number(i + 1) + ": " + hostText(condition.Name) + separator;
  }
  return list;
}

// Builds one predictor per protocol condition, convolved with the two-gamma HRF, and
// saves the design matrix.
void buildDesignMatrix(int conditionCount) {
  host_table::hvClearDesignMatrix();
  for (int i = 0; i < conditionCount; ++i) {
    ConditionInfo condition{};
    host_table::hvGetProtocolCondition(i, &condition);
    condition.Name[sizeof(condition.Name) - 1] = '\0';  // the name is passed on as a text
    host_table::hvAddPredictor(condition.Name);
    host_table::hvSetPredictorValuesFromCondition(condition.Name, i, 1.0f);
    host_table::hvApplyTwoGammaHRFToPredictor(i);
  }
  host_table::hvSaveSingleStudyGLMDesignMatrix(kDesignMatrixFile);
}

// Asks for one predictor per VOI. False when a VOI cannot be had or the user cancels.
bool chooseVoiPredictors(Cluster& cluster, int conditionCount) {
  const std::string conditions = conditionList(conditionCount, "<br>");
  for (int j = 0; j < cluster.voiCount; ++j) {
    VOIInfo voi{};
    if (host_table::hvGetVOI(j, &voi) == nullptr) return false;
    const std::string prompt =
        "Select predictor for VOI: <b>" + hostText(voi.Name) + "</b>:<br><br>" + conditions;
    const int answer =
        host_table::hvGetIntegerInput(prompt.c_str(), kDefaultChoice, 1, conditionCount);
    if (answer <= 0) return false;
    cluster.predictorOfVoi[j] = answer - 1;
  }
  return true;
}

// Asks for the sphere's predictor and centre. False when the user cancels the choice.
bool chooseSphere(Cluster& cluster, const VTCHeader& header, int conditionCount) {
  const std::string prompt = "Select condition:\n\n" + conditionList(conditionCount, "\n") + "\n";
  const int answer =
      host_table::hvGetIntegerInput(prompt.c_str(), kDefaultChoice, 1, conditionCount);
  if (answer <= 0) return false;
  cluster.spherePredictor = answer - 1;
  if (host_table::hvYesNoMessageBox(
          "Do you want to use the cross position as the cluster center ?")) {
    host_table::hvGetCrossPositionOfCurrentVMR(&cluster.centreX, &cluster.centreY,
                                               &cluster.centreZ);
  } else {
    // Coordinates are taken as they come: a cancelled prompt yields 0, a valid position.
    cluster.centreX =
        host_table::hvGetIntegerInput("Enter X position of simulated cluster: ", kDefaultCentre,
                                      header.XStart + kCentreMargin, header.XEnd - kCentreMargin);
    cluster.centreY =
        host_table::hvGetIntegerInput("Enter Y position of simulated cluster: ", kDefaultCentre,
                                      header.YStart + kCentreMargin, header.YEnd - kCentreMargin);
    cluster.centreZ =
        host_table::hvGetIntegerInput("Enter Z position of simulated cluster: ", kDefaultCentre,
                                      header.ZStart + kCentreMargin, header.ZEnd - kCentreMargin);
  }
  logStatus(std::string(kSelectedPositionText) + " X: " + number(cluster.centreX) +
            "  Y: " + number(cluster.centreY) + "  Z: " + number(cluster.centreZ));
  return true;
}

// The plug-in's values: noise of amplitude 5 around a baseline of 100, and a cluster
// signal of 3 times the chosen predictor.
constexpr tolvane::simulation::Levels kLevels{100.0f, 5.0f};
constexpr float kSignalAmplitude = 3.0f;

// Ends the signal pass early: the busy indication stops and the user learns why.
bool failSignal(const char* message) {
  host_table::hvStopBusyCursor();
  host_table::hvMessageBox(message);
  return false;
}

// The effect that a predictor's time course adds to a cluster voxel, in data units.
std::vector<float> effectOf(const float* predictor, int timePoints) {
  std::vector<float> effect(static_cast<std::size_t>(timePoints));
  for (int t = 0; t < timePoints; ++t) effect[t] = kSignalAmplitude * predictor[t];
  return effect;
}

// Overwrites the voxels of each VOI, asking the host for the VOI's predictor and voxel
// list just before its turn. False, with the user told, when the host cannot give one.
bool fillVoiClusters(const VtcGrid& grid, const VOIsInfo& vois, const Cluster& cluster,
                     const DeviateStream& stream, std::int64_t& skipped) {
  const tolvane::simulation::VoxelConvention convention{
      vois.ReferenceSpace == kFlippedReferenceSpace, kFlipOrigin};
  for (int i = 0; i < cluster.voiCount; ++i) {
    logProgress("VOI " + number(i + 1) + " / " + number(cluster.voiCount) + " ...");
    const float* predictor = host_table::hvGetPredictor(cluster.predictorOfVoi[i]);
    if (predictor == nullptr) return failSignal("Error accessing predictor time course");
    VOIInfo voi{};
    const int* voxels = host_table::hvGetVOI(i, &voi);
    if (voxels == nullptr) return failSignal("Error accessing the voxels of a VOI");
    skipped += tolvane::simulation::fillVoxelListSignal(
        grid, voxels, std::max(0, voi.NumberOfVoxels), convention,
        effectOf(predictor, grid.timePoints).data(), kLevels, stream);
  }
  return true;
}

// Fills the VTC with noise and then the cluster's signal. False, with the busy
// indication ended and the user told, when the host cannot give what the signal needs.
bool synthesise(const VtcGrid& grid, const VOIsInfo& vois, const Cluster& cluster) {
  const auto logNoiseProgress = [](int done, int total) {
    logProgress(number(done) + " / " + number(total) + " ...");
  };
  int seed = -1;  // the uniform sequence restarts with every run
  const DeviateStream stream{tolvane::random::generatorState(), &seed};
  logStatus("Creating noise data...");
  host_table::hvShowBusyCursor();
  tolvane::simulation::fillNoise(grid, kLevels, stream, logNoiseProgress);
  logStatus("Creating signal + noise data...");
  std::int64_t skipped = 0;
  if (cluster.useVois) {
    if (!fillVoiClusters(grid, vois, cluster, stream, skipped)) return false;
  } else {
    const float* predictor = host_table::hvGetPredictor(cluster.spherePredictor);
    if (predictor == nullptr) return failSignal("Error accessing predictor time course");
    skipped = tolvane::simulation::fillSphereSignal(
        grid, cluster.centreX, cluster.centreY, cluster.centreZ,
        effectOf(predictor, grid.timePoints).data(), kLevels, stream);
  }
  if (skipped > 0) logStatus(std::to_string(skipped) + std::string(kSkippedVoxelsText));
  host_table::hvStopBusyCursor();
  return true;
}

void offerToSave() {
  char name[kMaxPathLength + 1] = {};
  if (host_table::hvGetSaveFileName("Enter Name For Saving Created VTC File:", "Simulated.vtc",
                                    "Volume Time Course Files (*.vtc)", name) == 0)
    return;
  name[kMaxPathLength] = '\0';
  logStatus("Saving created VTC file as \"" + std::string(name) + "\"...");
  host_table::hvShowBusyCursor();
  host_table::hvSaveVTCOfCurrentVMR(name);
  host_table::hvStopBusyCursor();
}

}  // namespace

bool TolvanePlugin::execute() {
  if (!host_table::InitHVAccess()) return false;
  // Without every operation the run calls there may not even be a message box to
  // explain anything with, so the run ends before calling any of them.
  if (!host_table::runOperationsPresent()) return false;

  int major = 0, minor = 0, sub = 0;
  host_table::hvGetVersionOfHelvara(&major, &minor, &sub);
  if (!checkVersionGreaterEqualVersion(major, minor, sub, 2, 0, 0)) {
    host_table::hvMessageBox(
        "Can not execute this plugin - Helvara version 2.0.0 or higher required.");
    return false;
  }

  host_table::hvShowLogTab();
  logLine(" ");
  logStatus("Running Tolvane...");

  int vmrX = 0, vmrY = 0, vmrZ = 0;
  if (host_table::hvGetCurrentVMR(&vmrX, &vmrY, &vmrZ) == 0) {
    host_table::hvMessageBox(
        "This plugin requires a VMR to operate. Make sure that a VMR is open and "
        "that its window is selected.");
    return false;
  }
  if (vmrX != kRequiredVmrDimension || vmrY != kRequiredVmrDimension ||
      vmrZ != kRequiredVmrDimension) {
    host_table::hvMessageBox(
        "This plugin requires a VMR with \"256\" dimensions, preferentially a VMR "
        "in Talairach space.");
    return false;
  }

  const int requestedTimePoints = host_table::hvGetIntegerInput(
      "Enter number of simulated time points:", kDefaultTimePoints, 1, kMaxTimePoints);
  if (requestedTimePoints <= 0) return false;

  host_table::hvCreateVTCForCurrentVMR(requestedTimePoints, 0);
  VTCHeader header{};
  host_table::hvGetHeaderOfVTCOfCurrentVMR(&header);
  float* data = host_table::hvGetVTCFloatDataOfCurrentVMR();
  if (!gridIsUsable(header, data)) return false;
  const VtcGrid grid{data,
                     (header.XEnd - header.XStart) / header.Resolution,
                     (header.YEnd - header.YStart) / header.Resolution,
                     (header.ZEnd - header.ZStart) / header.Resolution,
                     header.NumberOfTimePoints,
                     header.XStart,
                     header.YStart,
                     header.ZStart,
                     header.Resolution};
  logStatus("Dims of created VTC, X: " + number(grid.dimX) + "  Y: " + number(grid.dimY) +
            "  Z: " + number(grid.dimZ));

  char protocolPath[kMaxPathLength + 1] = {};
  if (host_table::hvGetOpenFileName("Provide a protocol file:", "", "Protocol Files (*.prt)",
                                    protocolPath) == 0)
    return false;
  const std::size_t pathLength =
      std::min(strnlen(protocolPath, sizeof(protocolPath)), sizeof(header.ProtocolFile) - 1);
  std::memcpy(header.ProtocolFile, protocolPath, pathLength);
  header.ProtocolFile[pathLength] = '\0';
  host_table::hvSetHeaderOfVTCOfCurrentVMR(&header);

  ProtocolInfo protocol{};
  host_table::hvGetProtocol(&protocol);
  const int conditionCount = protocol.NumberOfConditions;
  buildDesignMatrix(conditionCount);

  VOIsInfo vois{};
  host_table::hvGetVOIs(&vois);
  Cluster cluster;
  cluster.voiCount = std::max(0, vois.NumberOfVOIs);
  cluster.predictorOfVoi.reset(new (std::nothrow) int[cluster.voiCount]);
  if (!cluster.predictorOfVoi) return false;

  cluster.useVois = cluster.voiCount > 0 &&
                    host_table::hvYesNoMessageBox(
                        "Do you want to use the available VOIs to define simulated clusters?") != 0;
  const bool clusterChosen = cluster.useVois ? chooseVoiPredictors(cluster, conditionCount)
                                             : chooseSphere(cluster, header, conditionCount);
  if (!clusterChosen) return false;

  if (!synthesise(grid, vois, cluster)) return false;

  offerToSave();
  logStatus("Tolvane Plugin completed!");
  logLine(" ");
  host_table::hvUpdateActiveWindow();
  return true;
}
