// One hvhost session: the documents the host owns (VMR, VTC, protocol, design matrix,
// VOIs) and the host's side of every operation the plug-in calls.
//
// Each member below implements one operation with the plug-in's calling conventions
// (records filled in place, texts NUL-terminated, 0 or null for "none" or
// "cancelled"), so that the exported C functions only forward to it. Members never
// throw except createVtc (StorageError, when the VTC cannot be had at all); problems
// with the user's files are reported on the console and leave the document empty.
// A protocol that cannot be read also cancels every later dialogue, as a failed
// script does: a simulation without the protocol's conditions would be worthless.
//
// Relative names of files that the plug-in saves go into the output directory; the
// protocol path chosen in the open dialogue is taken as given. Saved files are held
// back (staged_outputs.h) until the run's end: finishRun commits them when the run
// completed and discards them when it ended early.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "design/design_matrix.h"
#include "design/protocol.h"
#include "formats/nifti/conform.h"
#include "formats/nifti/nifti_io.h"
#include "host/dialogues/dialogue.h"
#include "host/session/staged_outputs.h"
#include "host/session/vmr_document.h"
#include "host/session/voi_set.h"
#include "host/session/vtc_document.h"
#include "host/shared_names.h"
#include "plugin/host_interface.h"

namespace hvhost {

class Console;

struct HostVersion {
  int major = 2;
  int minor = 4;
  int sub = 0;
};

struct SessionSetup {
  HostVersion version;
  std::optional<VmrDocument> vmr = VmrDocument::empty256();  // nullopt: no VMR open
  formats::VtcGeometry vtcGrid;  // bounding box, resolution and TR; the time points come with creation
  VoiSet vois;
  std::filesystem::path outputDir = ".";
  std::string protocolFile;           // the open dialogue's default, when given
  int gzipLevel = formats::kDefaultGzipLevel;  // for VTCs saved as .nii.gz
  std::uint64_t memoryLimitBytes = physicalMemoryBytes();
  // --conform: the anatomical the VMR was conformed from, and its resampled intensities
  // until they are staged (stageConformedAnatomical).
  std::filesystem::path conformedFrom;
  std::optional<formats::ConformedAnatomical> conformed;
};

// What --conform saves the resampled anatomical as, in the output folder.
inline constexpr const char* kConformedAnatomicalName = "conformed_anatomical.nii.gz";

// Why a file cannot be saved as `target` (its folder is missing, is no folder or
// takes no new file; the target is a folder), or "" when it can. Asked when the
// save dialogue is answered, so that the user can still choose another name, and
// again just before writing.
std::string problemSaving(const std::filesystem::path& target);

class HostSession {
 public:
  HostSession(SessionSetup setup, Dialogue& dialogue, Console& console);

  // General services.
  void version(int* major, int* minor, int* sub) const;
  void messageBox(const char* text);
  void logText(const char* text);
  int integerInput(const char* prompt, int defaultValue, int minimum, int maximum);
  int yesNo(const char* question);
  int openFileName(const char* prompt, const char* defaultName, const char* filter, char* result);
  int saveFileName(const char* prompt, const char* defaultName, const char* filter, char* result);
  void showBusy();
  void stopBusy();

  // VMR.
  int currentVmr(int* dimX, int* dimY, int* dimZ) const;
  bool crossPosition(int* x, int* y, int* z) const;

  // VTC.
  bool createVtc(int numberOfTimePoints);
  bool vtcHeader(VTCHeader* header) const;
  bool setVtcHeader(const VTCHeader* header);
  float* vtcData();
  bool saveVtc(const char* fileName);

  // Protocol and design matrix.
  bool protocolInfo(ProtocolInfo* info) const;
  bool protocolCondition(int index, ConditionInfo* condition) const;
  bool clearDesignMatrix();
  bool addPredictor(const char* name);
  bool setPredictorFromCondition(const char* name, int conditionIndex, float value);
  bool applyTwoGammaHrf(int predictorIndex);
  float* predictor(int predictorIndex);
  bool saveDesignMatrix(const char* fileName);

  // VOIs.
  bool voisInfo(VOIsInfo* info) const;
  std::int32_t* voi(int index, VOIInfo* info);

  // For the host itself and for tests.
  const VtcDocument* vtc() const { return vtc_ ? &*vtc_ : nullptr; }
  const design::Protocol& linkedProtocol() const { return protocol_; }
  const design::DesignMatrix& designMatrix() const { return designMatrix_; }
  // A file that the plug-in asked the host to write could not be written.
  bool outputFailed() const { return outputFailed_; }
  // A file that the plug-in's run depends on could not be read; the run is cancelled.
  bool inputFailed() const { return inputFailed_; }
  std::filesystem::path outputPath(const std::string& name) const;

  // Before the run: says what --conform made of the anatomical and writes the resampled
  // image, held back like the run's own files, so that it is saved when the run completes.
  void stageConformedAnatomical();

  // After the run: commits the files it saved when `completed`, else discards them;
  // after a completed run, warns of what leaves its result without signal.
  void finishRun(bool completed);

 private:
  struct CancelledDialogue {
    std::string prompt;
    std::string givenInstead;  // what the plug-in received: "0", "no", "no file"
  };
  int fileName(FileRequest request, char* result);
  void noteCancelled(std::string_view prompt, std::string_view givenInstead);
  void observeLogLine(std::string_view line);
  // The checks of a completed run (run_review.cpp), each a warning with what to do.
  void reviewCompletedRun();
  void warnOfClusterOutsideTheVtc();
  void warnOfZeroPredictors();
  void warnOfProtocolEndingEarly();
  void warnOfCancelledDialogues();
  void noteVmrSizeIfRefused();
  void linkProtocol(const std::string& path);
  formats::SpatialFrame vmrFrame() const;
  // Writes a staged output with write(staged). A failure is reported in the target's
  // name, the staged file dropped and the run's output marked failed; returns success.
  bool writeStaged(const std::filesystem::path& staged,
                   const std::function<void(const std::filesystem::path&)>& write);

  SessionSetup setup_;
  Dialogue& dialogue_;
  Console& console_;
  std::optional<VtcDocument> vtc_;
  design::Protocol protocol_;
  design::DesignMatrix designMatrix_;
  StagedOutputs outputs_;
  // What the run did, as far as the host sees it, for reviewCompletedRun.
  std::vector<CancelledDialogue> cancelled_;
  std::vector<std::size_t> predictorsRead_;  // by the signal pass, in order
  bool sphereCluster_ = false;
  std::int64_t skippedClusterVoxels_ = 0;
  bool outputFailed_ = false;
  bool inputFailed_ = false;
};

}  // namespace hvhost
