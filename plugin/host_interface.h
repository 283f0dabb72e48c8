// The binary interface between the plug-in and its host: the records that cross the
// boundary and the host operations that a simulation run calls.
//
// Both sides include this header. The host (hvhost, or a test host) defines the
// operations below with C linkage and exports them from its executable; the plug-in
// never links against them but resolves them by name at the start of every run, so
// the compiler checks both sides against one declaration.
//
// Records: integers are 32-bit signed in the platform's byte order, texts are
// NUL-terminated 8-bit strings, offsets are fixed. Bytes the run does not use belong
// to the host; the run neither reads nor changes them. The plug-in owns each record's
// storage and hands the host its address.
//
// Operations: every text argument is owned by the caller and only read during the
// call. Where the run does not use a result, the operations return true on success;
// the run ignores it.
#pragma once

#include <cstddef>
#include <cstdint>

// Header of the current VTC: filled by hvGetHeaderOfVTCOfCurrentVMR, written back by
// hvSetHeaderOfVTCOfCurrentVMR. Bounding box in VMR voxel coordinates; the grid has
// (End - Start) / Resolution voxels per axis (integer division).
struct VTCHeader {
  std::uint8_t hostBytes0[4];
  std::int32_t NumberOfTimePoints;
  std::uint8_t hostBytes1[12];
  std::int32_t XStart, XEnd;
  std::int32_t YStart, YEnd;
  std::int32_t ZStart, ZEnd;
  std::int32_t Resolution;  // edge length of one VTC voxel, in VMR voxels
  std::uint8_t hostBytes2[276];
  // Path of the linked protocol; the host accepts at most kMaxPathLength characters.
  char ProtocolFile[524];
};

// Filled by hvGetProtocol for the protocol linked to the current VTC.
struct ProtocolInfo {
  std::int32_t NumberOfConditions;
  std::uint8_t hostBytes[592];
};

// Filled by hvGetProtocolCondition. The record's address doubles as the predictor
// name argument of hvAddPredictor and hvSetPredictorValuesFromCondition.
struct ConditionInfo {
  char Name[272];
};

// Filled by hvGetVOIs. ReferenceSpace tells how VOI voxel triples are to be read:
// code 3 is the flipped system (X = 128 - c1, Y = 128 - c2, Z = 128 - c0), every other
// code gives VMR voxel coordinates directly.
struct VOIsInfo {
  std::int32_t NumberOfVOIs;
  std::uint8_t hostBytes0[268];
  std::int32_t ReferenceSpace;
  std::uint8_t hostBytes1[36];
};

// Filled by hvGetVOI along with the voxel list it returns.
struct VOIInfo {
  std::int32_t NumberOfVoxels;
  char Name[260];
};

// Longest path the host accepts in file dialogues and in VTCHeader::ProtocolFile; file
// dialogue buffers hold kMaxPathLength + 1 bytes.
constexpr std::size_t kMaxPathLength = 260;

static_assert(offsetof(VTCHeader, NumberOfTimePoints) == 4);
static_assert(offsetof(VTCHeader, XStart) == 20);
static_assert(offsetof(VTCHeader, XEnd) == 24);
static_assert(offsetof(VTCHeader, YStart) == 28);
static_assert(offsetof(VTCHeader, YEnd) == 32);
static_assert(offsetof(VTCHeader, ZStart) == 36);
static_assert(offsetof(VTCHeader, ZEnd) == 40);
static_assert(offsetof(VTCHeader, Resolution) == 44);
static_assert(offsetof(VTCHeader, ProtocolFile) == 324);
static_assert(sizeof(VTCHeader) == 848);
static_assert(offsetof(ProtocolInfo, NumberOfConditions) == 0);
static_assert(sizeof(ProtocolInfo) == 596);
static_assert(offsetof(ConditionInfo, Name) == 0);
static_assert(sizeof(ConditionInfo) == 272);
static_assert(offsetof(VOIsInfo, NumberOfVOIs) == 0);
static_assert(offsetof(VOIsInfo, ReferenceSpace) == 272);
static_assert(sizeof(VOIsInfo) == 312);
static_assert(offsetof(VOIInfo, NumberOfVoxels) == 0);
static_assert(offsetof(VOIInfo, Name) == 4);
static_assert(sizeof(VOIInfo) == 264);
static_assert(sizeof(VTCHeader::ProtocolFile) > kMaxPathLength);

// The host operations that a run calls, in the order of their first call.
extern "C" {

// General services.
bool hvGetVersionOfHelvara(int* major, int* minor, int* sub);
bool hvMessageBox(const char* message);  // modal message box
bool hvShowLogTab();
bool hvLogText(const char* text);  // appends one line to the log
// Integer dialogue. Returns the number entered; a cancelled dialogue returns 0.
// Prompts are plain text with "\n" line breaks or rich text with <b> and <br>.
int hvGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum);
int hvYesNoMessageBox(const char* question);  // nonzero for yes
// File dialogues write the chosen path into result (kMaxPathLength + 1 bytes) and
// return nonzero; they return 0 when cancelled.
int hvGetOpenFileName(const char* prompt, const char* defaultName, const char* filter,
                      char* result);
int hvGetSaveFileName(const char* prompt, const char* defaultName, const char* filter,
                      char* result);
bool hvShowBusyCursor();
bool hvStopBusyCursor();
bool hvUpdateActiveWindow();

// The current VMR: nonzero when there is one, with its dimensions in voxels.
int hvGetCurrentVMR(int* dimX, int* dimY, int* dimZ);
bool hvGetCrossPositionOfCurrentVMR(int* x, int* y, int* z);

// The VTC of the current VMR.
bool hvCreateVTCForCurrentVMR(int numberOfTimePoints, int options);
bool hvGetHeaderOfVTCOfCurrentVMR(VTCHeader* header);
// Storing the header links the protocol named in ProtocolFile to the VTC.
bool hvSetHeaderOfVTCOfCurrentVMR(const VTCHeader* header);
// The VTC's live storage, valid for the rest of the run: NumberOfTimePoints floats
// per voxel, voxel (x, y, z) at time t being element ((z*dimY + y)*dimX + x)*nT + t.
float* hvGetVTCFloatDataOfCurrentVMR();
bool hvSaveVTCOfCurrentVMR(const char* fileName);

// The protocol of the current VTC.
bool hvGetProtocol(ProtocolInfo* protocol);
bool hvGetProtocolCondition(int conditionIndex, ConditionInfo* condition);

// The single-study design matrix.
bool hvClearDesignMatrix();
bool hvAddPredictor(const char* name);
bool hvSetPredictorValuesFromCondition(const char* name, int conditionIndex, float value);
bool hvApplyTwoGammaHRFToPredictor(int predictorIndex);
// Host-owned time course of at least NumberOfTimePoints values, or null.
float* hvGetPredictor(int predictorIndex);
bool hvSaveSingleStudyGLMDesignMatrix(const char* fileName);

// Volumes of interest. hvGetVOI returns the host-owned voxel list (NumberOfVoxels
// triples of int32), or null when the VOI cannot be had.
bool hvGetVOIs(VOIsInfo* vois);
int* hvGetVOI(int voiIndex, VOIInfo* voi);

}  // extern "C"
