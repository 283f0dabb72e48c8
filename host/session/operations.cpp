// The host operations that a plug-in run calls, exported from the hvhost executable
// with C linkage so that the module finds them by name at run time. Each forwards to
// the active session; outside a run, or when the session meets an error (no memory
// for the VTC, or one unforeseen), it returns the plug-in's "nothing" (false, 0 or
// null) after reporting the error, and the plug-in ends its run. No exception
// crosses into the plug-in.
#include <exception>

#include "host/dialogues/console.h"
#include "host/exit_status.h"
#include "host/session/host_session.h"
#include "host/session/module_runner.h"
#include "plugin/host_interface.h"

namespace {

template <typename Result, typename Call>
Result forward(Result fallback, Call call) {
  hvhost::HostSession* session = hvhost::activeSession();
  if (session == nullptr) return fallback;
  try {
    return call(*session);
  } catch (...) {
    if (hvhost::Console* console = hvhost::activeConsole()) {
      hvhost::reportFailure(*console, std::current_exception(), hvhost::Stage::Run);
    }
  }
  return fallback;
}

}  // namespace

using hvhost::HostSession;

extern "C" {

bool hvGetVersionOfHelvara(int* major, int* minor, int* sub) {
  return forward(false, [&](HostSession& s) {
    s.version(major, minor, sub);
    return true;
  });
}

bool hvMessageBox(const char* message) {
  return forward(false, [&](HostSession& s) {
    s.messageBox(message);
    return true;
  });
}

bool hvShowLogTab() {
  // The log is standard output, which is always in view.
  return forward(false, [](HostSession&) { return true; });
}

bool hvLogText(const char* text) {
  return forward(false, [&](HostSession& s) {
    s.logText(text);
    return true;
  });
}

int hvGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum) {
  return forward(
      0, [&](HostSession& s) { return s.integerInput(prompt, defaultValue, minimum, maximum); });
}

int hvYesNoMessageBox(const char* question) {
  return forward(0, [&](HostSession& s) { return s.yesNo(question); });
}

int hvGetOpenFileName(const char* prompt, const char* defaultName, const char* filter,
                      char* result) {
  return forward(
      0, [&](HostSession& s) { return s.openFileName(prompt, defaultName, filter, result); });
}

int hvGetSaveFileName(const char* prompt, const char* defaultName, const char* filter,
                      char* result) {
  return forward(
      0, [&](HostSession& s) { return s.saveFileName(prompt, defaultName, filter, result); });
}

bool hvShowBusyCursor() {
  return forward(false, [](HostSession& s) {
    s.showBusy();
    return true;
  });
}

bool hvStopBusyCursor() {
  return forward(false, [](HostSession& s) {
    s.stopBusy();
    return true;
  });
}

bool hvUpdateActiveWindow() {
  // No document window to redraw: everything the run changed is already in the documents.
  return forward(false, [](HostSession&) { return true; });
}

int hvGetCurrentVMR(int* dimX, int* dimY, int* dimZ) {
  return forward(0, [&](HostSession& s) { return s.currentVmr(dimX, dimY, dimZ); });
}

bool hvGetCrossPositionOfCurrentVMR(int* x, int* y, int* z) {
  return forward(false, [&](HostSession& s) { return s.crossPosition(x, y, z); });
}

bool hvCreateVTCForCurrentVMR(int numberOfTimePoints, int /*options: none defined*/) {
  return forward(false, [&](HostSession& s) { return s.createVtc(numberOfTimePoints); });
}

bool hvGetHeaderOfVTCOfCurrentVMR(VTCHeader* header) {
  return forward(false, [&](HostSession& s) { return s.vtcHeader(header); });
}

bool hvSetHeaderOfVTCOfCurrentVMR(const VTCHeader* header) {
  return forward(false, [&](HostSession& s) { return s.setVtcHeader(header); });
}

float* hvGetVTCFloatDataOfCurrentVMR() {
  return forward<float*>(nullptr, [](HostSession& s) { return s.vtcData(); });
}

bool hvSaveVTCOfCurrentVMR(const char* fileName) {
  return forward(false, [&](HostSession& s) { return s.saveVtc(fileName); });
}

bool hvGetProtocol(ProtocolInfo* protocol) {
  return forward(false, [&](HostSession& s) { return s.protocolInfo(protocol); });
}

bool hvGetProtocolCondition(int conditionIndex, ConditionInfo* condition) {
  return forward(false,
                 [&](HostSession& s) { return s.protocolCondition(conditionIndex, condition); });
}

bool hvClearDesignMatrix() {
  return forward(false, [](HostSession& s) { return s.clearDesignMatrix(); });
}

bool hvAddPredictor(const char* name) {
  return forward(false, [&](HostSession& s) { return s.addPredictor(name); });
}

bool hvSetPredictorValuesFromCondition(const char* name, int conditionIndex, float value) {
  return forward(false, [&](HostSession& s) {
    return s.setPredictorFromCondition(name, conditionIndex, value);
  });
}

bool hvApplyTwoGammaHRFToPredictor(int predictorIndex) {
  return forward(false, [&](HostSession& s) { return s.applyTwoGammaHrf(predictorIndex); });
}

float* hvGetPredictor(int predictorIndex) {
  return forward<float*>(nullptr, [&](HostSession& s) { return s.predictor(predictorIndex); });
}

bool hvSaveSingleStudyGLMDesignMatrix(const char* fileName) {
  return forward(false, [&](HostSession& s) { return s.saveDesignMatrix(fileName); });
}

bool hvGetVOIs(VOIsInfo* vois) {
  return forward(false, [&](HostSession& s) { return s.voisInfo(vois); });
}

int* hvGetVOI(int voiIndex, VOIInfo* voi) {
  return forward<int*>(nullptr, [&](HostSession& s) { return s.voi(voiIndex, voi); });
}

}  // extern "C"
