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
// Operations, the rules that hold for all of them:
// - Threading: the host calls execute() on its user-interface thread, and the run
//   calls every operation synchronously on that same thread, one at a time. No
//   operation may be called from another thread, and none calls back into the plug-in.
// - Texts: every text argument is owned by the caller and only read during the call;
//   the host keeps a copy of whatever it needs afterwards. A null text is never passed.
// - Records: the caller owns each record; the host fills or reads it during the call
//   only and keeps no pointer to it.
// - Results: where the run does not use a result, an operation returns true on
//   success and the run ignores it. A pointer result is host-owned storage that the
//   plug-in reads or writes but never frees; null means "not available" and is
//   always checked. How long such storage stays valid is given at each operation.
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
// code kFlippedReferenceSpace is the flipped system (X = kFlipOrigin - c1,
// Y = kFlipOrigin - c2, Z = kFlipOrigin - c0), every other code gives VMR voxel
// coordinates directly.
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

constexpr std::int32_t kFlippedReferenceSpace = 3;
constexpr std::int32_t kFlipOrigin = 128;

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
// Writes the host's version into the three caller-owned integers; the first operation
// a run calls, so that an older host is turned away before anything else.
bool hvGetVersionOfHelvara(int* major, int* minor, int* sub);
bool hvMessageBox(const char* message);  // modal message box; returns once dismissed
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
// Busy indication around long work; every show is matched by a stop on every way out.
bool hvShowBusyCursor();
bool hvStopBusyCursor();
bool hvUpdateActiveWindow();

// The current VMR: nonzero when there is one, with its dimensions in voxels written
// into the caller's integers (untouched when there is none).
int hvGetCurrentVMR(int* dimX, int* dimY, int* dimZ);
// The cross cursor, in VMR voxel coordinates, written into the caller's integers.
bool hvGetCrossPositionOfCurrentVMR(int* x, int* y, int* z);

// The VTC of the current VMR. Creating one replaces the previous VTC (its storage is
// then gone), clears the protocol link and the design matrix.
bool hvCreateVTCForCurrentVMR(int numberOfTimePoints, int options);
bool hvGetHeaderOfVTCOfCurrentVMR(VTCHeader* header);
// Storing the header links the protocol named in ProtocolFile to the VTC; the host
// reads the protocol file during this call.
bool hvSetHeaderOfVTCOfCurrentVMR(const VTCHeader* header);
// The VTC's storage, host-owned, or null when the host has none: NumberOfTimePoints
// floats per voxel, voxel (x, y, z) at time t being element ((z*dimY + y)*dimX + x)*nT
// + t. Valid until the next hvCreateVTCForCurrentVMR, and so for the rest of the run;
// the run writes it in place and never frees it.
float* hvGetVTCFloatDataOfCurrentVMR();
// Writes the VTC, as it is in its storage, to the file the user chose.
bool hvSaveVTCOfCurrentVMR(const char* fileName);

// The protocol of the current VTC; NumberOfConditions is 0 when none is linked or the
// linked file could not be read.
bool hvGetProtocol(ProtocolInfo* protocol);
bool hvGetProtocolCondition(int conditionIndex, ConditionInfo* condition);

// The single-study design matrix.
bool hvClearDesignMatrix();
bool hvAddPredictor(const char* name);
bool hvSetPredictorValuesFromCondition(const char* name, int conditionIndex, float value);
bool hvApplyTwoGammaHRFToPredictor(int predictorIndex);
// Host-owned time course of at least NumberOfTimePoints values, or null for an index
// that names no predictor. Read-only for the plug-in; valid until the design matrix
// is next cleared (hvClearDesignMatrix, or a new VTC), which a run does not do after
// asking for it.
float* hvGetPredictor(int predictorIndex);
bool hvSaveSingleStudyGLMDesignMatrix(const char* fileName);

// Volumes of interest. hvGetVOI fills the record and returns the host-owned voxel
// list (NumberOfVoxels triples of int32, read as ReferenceSpace says), or null when the
// VOI cannot be had; a VOI without voxels still has a non-null list. Read-only for the
// plug-in and valid for the rest of the run: the host changes no VOI while a run is
// going on.
bool hvGetVOIs(VOIsInfo* vois);
int* hvGetVOI(int voiIndex, VOIInfo* voi);

}  // extern "C"
