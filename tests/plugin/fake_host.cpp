#include "tests/plugin/fake_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fake_host {

namespace {

State current;

std::string join(std::initializer_list<std::string> parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "|") + part;
  return text;
}

void record(const char* name, std::initializer_list<std::string> args = {}) {
  current.calls.push_back(std::string(name) + "(" + join(args) + ")");
}

std::string str(int value) { return std::to_string(value); }

int takeFront(std::deque<int>& answers) {
  if (answers.empty()) return 0;  // a script that ran out cancels
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

int grid(int start, int end) { return (end - start) / current.config.resolution; }

}  // namespace

State& reset(const Config& config) {
  current = State{};
  current.config = config;
  return current;
}

State& state() { return current; }

float predictorValue(int k, int t) { return 0.25f * static_cast<float>(k + 1) + 0.01f * t; }

}  // namespace fake_host

using fake_host::current;

extern "C" {

bool hvGetVersionOfHelvara(int* major, int* minor, int* sub) {
  fake_host::record("hvGetVersionOfHelvara");
  *major = current.config.version[0];
  *minor = current.config.version[1];
  *sub = current.config.version[2];
  return true;
}

bool hvMessageBox(const char* message) {
  fake_host::record("hvMessageBox", {message});
  current.messages.emplace_back(message);
  return true;
}

bool hvShowLogTab() {
  fake_host::record("hvShowLogTab");
  return true;
}

bool hvLogText(const char* text) {
  fake_host::record("hvLogText", {text});
  current.log.emplace_back(text);
  return true;
}

int hvGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum) {
  fake_host::record("hvGetIntegerInput", {prompt, fake_host::str(defaultValue),
                                          fake_host::str(minimum), fake_host::str(maximum)});
  current.prompts.emplace_back(prompt);
  return fake_host::takeFront(current.config.integerAnswers);
}

int hvYesNoMessageBox(const char* question) {
  fake_host::record("hvYesNoMessageBox", {question});
  return fake_host::takeFront(current.config.yesNoAnswers);
}

static int fileDialogue(const char* name, const char* prompt, const char* defaultName,
                        const char* filter, char* result, const std::string& answer) {
  fake_host::record(name, {prompt, defaultName, filter});
  if (answer.empty()) return 0;
  std::strncpy(result, answer.c_str(), kMaxPathLength);
  result[kMaxPathLength] = '\0';
  return 1;
}

int hvGetOpenFileName(const char* prompt, const char* defaultName, const char* filter,
                      char* result) {
  return fileDialogue("hvGetOpenFileName", prompt, defaultName, filter, result,
                      current.config.protocolPath);
}

int hvGetSaveFileName(const char* prompt, const char* defaultName, const char* filter,
                      char* result) {
  return fileDialogue("hvGetSaveFileName", prompt, defaultName, filter, result,
                      current.config.saveName);
}

bool hvShowBusyCursor() {
  fake_host::record("hvShowBusyCursor");
  ++current.busyDepth;
  return true;
}

bool hvStopBusyCursor() {
  fake_host::record("hvStopBusyCursor");
  --current.busyDepth;
  return true;
}

#ifndef FAKE_HOST_WITHOUT_UPDATE_WINDOW
bool hvUpdateActiveWindow() {
  fake_host::record("hvUpdateActiveWindow");
  return true;
}
#endif

int hvGetCurrentVMR(int* dimX, int* dimY, int* dimZ) {
  fake_host::record("hvGetCurrentVMR");
  if (!current.config.vmrOpen) return 0;
  *dimX = current.config.vmrDims[0];
  *dimY = current.config.vmrDims[1];
  *dimZ = current.config.vmrDims[2];
  return 1;
}

bool hvGetCrossPositionOfCurrentVMR(int* x, int* y, int* z) {
  fake_host::record("hvGetCrossPositionOfCurrentVMR");
  *x = current.config.cross[0];
  *y = current.config.cross[1];
  *z = current.config.cross[2];
  return true;
}

bool hvCreateVTCForCurrentVMR(int numberOfTimePoints, int options) {
  fake_host::record("hvCreateVTCForCurrentVMR",
                    {fake_host::str(numberOfTimePoints), fake_host::str(options)});
  const fake_host::Config& c = current.config;
  current.timePoints = numberOfTimePoints;
  long long values = 0;
  if (c.resolution > 0)
    values = static_cast<long long>(fake_host::grid(c.xStart, c.xEnd)) *
             fake_host::grid(c.yStart, c.yEnd) * fake_host::grid(c.zStart, c.zEnd) *
             numberOfTimePoints;
  // A broken geometry still gets a sentinel value, so that writes would show.
  current.vtc.assign(static_cast<std::size_t>(std::max(values, 1LL)), -1.0f);
  return true;
}

bool hvGetHeaderOfVTCOfCurrentVMR(VTCHeader* header) {
  fake_host::record("hvGetHeaderOfVTCOfCurrentVMR");
  const fake_host::Config& c = current.config;
  std::memset(header, 0x5A, sizeof(VTCHeader));  // the host's bytes: anything
  header->NumberOfTimePoints = current.timePoints;
  header->XStart = c.xStart;
  header->XEnd = c.xEnd;
  header->YStart = c.yStart;
  header->YEnd = c.yEnd;
  header->ZStart = c.zStart;
  header->ZEnd = c.zEnd;
  header->Resolution = c.resolution;
  header->ProtocolFile[0] = '\0';
  return true;
}

bool hvSetHeaderOfVTCOfCurrentVMR(const VTCHeader* header) {
  fake_host::record("hvSetHeaderOfVTCOfCurrentVMR", {header->ProtocolFile});
  current.storedHeader = *header;
  return true;
}

float* hvGetVTCFloatDataOfCurrentVMR() {
  fake_host::record("hvGetVTCFloatDataOfCurrentVMR");
  if (!current.config.giveData) return nullptr;
  return current.vtc.data();
}

bool hvSaveVTCOfCurrentVMR(const char* fileName) {
  fake_host::record("hvSaveVTCOfCurrentVMR", {fileName});
  current.savedAs = fileName;
  return true;
}

bool hvGetProtocol(ProtocolInfo* protocol) {
  fake_host::record("hvGetProtocol");
  protocol->NumberOfConditions = static_cast<int>(current.config.conditions.size());
  return true;
}

bool hvGetProtocolCondition(int conditionIndex, ConditionInfo* condition) {
  fake_host::record("hvGetProtocolCondition", {fake_host::str(conditionIndex)});
  std::snprintf(condition->Name, sizeof(condition->Name), "%s",
                current.config.conditions.at(static_cast<std::size_t>(conditionIndex)).c_str());
  return true;
}

bool hvClearDesignMatrix() {
  fake_host::record("hvClearDesignMatrix");
  current.predictors.clear();
  return true;
}

bool hvAddPredictor(const char* name) {
  fake_host::record("hvAddPredictor", {name});
  current.predictors.emplace_back();
  return true;
}

bool hvSetPredictorValuesFromCondition(const char* name, int conditionIndex, float value) {
  fake_host::record("hvSetPredictorValuesFromCondition",
                    {name, fake_host::str(conditionIndex), std::to_string(value)});
  return true;
}

bool hvApplyTwoGammaHRFToPredictor(int predictorIndex) {
  fake_host::record("hvApplyTwoGammaHRFToPredictor", {fake_host::str(predictorIndex)});
  auto& predictor = current.predictors.at(static_cast<std::size_t>(predictorIndex));
  predictor.resize(static_cast<std::size_t>(current.timePoints));
  for (int t = 0; t < current.timePoints; ++t)
    predictor[static_cast<std::size_t>(t)] = fake_host::predictorValue(predictorIndex, t);
  return true;
}

float* hvGetPredictor(int predictorIndex) {
  fake_host::record("hvGetPredictor", {fake_host::str(predictorIndex)});
  if (predictorIndex == current.config.predictorMissingFrom) return nullptr;
  if (predictorIndex < 0 || predictorIndex >= static_cast<int>(current.predictors.size()))
    return nullptr;
  return current.predictors[static_cast<std::size_t>(predictorIndex)].data();
}

bool hvSaveSingleStudyGLMDesignMatrix(const char* fileName) {
  fake_host::record("hvSaveSingleStudyGLMDesignMatrix", {fileName});
  return true;
}

bool hvGetVOIs(VOIsInfo* vois) {
  fake_host::record("hvGetVOIs");
  vois->NumberOfVOIs = static_cast<int>(current.config.vois.size());
  vois->ReferenceSpace = current.config.referenceSpace;
  return true;
}

int* hvGetVOI(int voiIndex, VOIInfo* voi) {
  fake_host::record("hvGetVOI", {fake_host::str(voiIndex)});
  const int call = current.voiCalls++;
  if (current.config.voiMissingAfterCalls >= 0 && call >= current.config.voiMissingAfterCalls)
    return nullptr;
  auto& source = current.config.vois.at(static_cast<std::size_t>(voiIndex));
  voi->NumberOfVoxels =
      current.config.voxelCountOverride.value_or(static_cast<int>(source.voxels.size() / 3));
  std::snprintf(voi->Name, sizeof(voi->Name), "%s", source.name.c_str());
  static int empty[3] = {};
  return source.voxels.empty() ? empty : source.voxels.data();
}

}  // extern "C"
