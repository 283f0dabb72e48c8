// The session's general services, dialogues and VMR; see host_session.h. The VTC,
// protocol, design matrix and VOI operations are in host_session_documents.cpp.
#include "host/session/host_session.h"

#include <unistd.h>

#include <array>
#include <cstring>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/text_parsing.h"
#include "host/dialogues/console.h"

namespace hvhost {

using namespace tolvane::formats;

std::string problemSaving(const std::filesystem::path& target) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(target, error);
  // A device or pipe is written in place, whatever its folder allows.
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return std::filesystem::is_directory(status)
               ? target.string() + ": cannot be saved: it is a folder"
               : "";
  }
  const std::filesystem::path folder =
      target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
  const std::filesystem::file_status folderStatus = std::filesystem::status(folder, error);
  if (!std::filesystem::exists(folderStatus)) {
    return target.string() + ": cannot be saved: the folder " + folder.string() + " does not exist";
  }
  if (!std::filesystem::is_directory(folderStatus)) {
    return target.string() + ": cannot be saved: " + folder.string() + " is not a folder";
  }
  try {
    checkFolderIsWritable(folder);
  } catch (const OutputError& unwritable) {
    return target.string() + ": cannot be saved: " + unwritable.what();
  }
  return "";
}

HostSession::HostSession(SessionSetup setup, Dialogue& dialogue, Console& console)
    : setup_(std::move(setup)), dialogue_(dialogue), console_(console) {}

void HostSession::version(int* major, int* minor, int* sub) const {
  *major = setup_.version.major;
  *minor = setup_.version.minor;
  *sub = setup_.version.sub;
}

void HostSession::messageBox(const char* text) { console_.messageBox(text); }

void HostSession::logText(const char* text) {
  console_.logLine(text);
  observeLogLine(text);
}

int HostSession::integerInput(const char* prompt, int defaultValue, int minimum, int maximum) {
  if (inputFailed_) return 0;
  const IntegerRequest request{prompt, defaultValue, minimum, maximum};
  const std::optional<int> answer = dialogue_.askInteger(request);
  if (!answer) {
    noteCancelled(prompt, "0");
    return 0;
  }
  return bringIntoRange(*answer, request, console_);
}

int HostSession::yesNo(const char* question) {
  if (inputFailed_) return 0;
  // The question about the cross does not say where the cross is; the host adds it.
  std::string shown = question;
  if (setup_.vmr && lowercase(shown).find("cross position") != std::string::npos) {
    const std::array<int, 3>& cross = setup_.vmr->cross();
    shown += "\n(the cross is at VMR voxel " + std::to_string(cross[0]) + ", " +
             std::to_string(cross[1]) + ", " + std::to_string(cross[2]) + ")";
  }
  const std::optional<bool> answer = dialogue_.askYesNo(shown);
  if (!answer) noteCancelled(question, "no");
  return answer && *answer ? 1 : 0;
}

int HostSession::openFileName(const char* prompt, const char* defaultName, const char* filter,
                              char* result) {
  // The run asks only for a protocol, and its filter names only the native format.
  FileRequest request{FileRequest::Kind::Open,
                      prompt,
                      defaultName,
                      std::string(filter) + "; hvhost also reads BIDS events tables (*.tsv)",
                      {}};
  if (request.defaultName.empty()) request.defaultName = setup_.protocolFile;
  request.problemWith = [](const std::string& name) -> std::string {
    if (name.size() > kMaxPathLength) {
      return "the path is longer than " + std::to_string(kMaxPathLength) + " characters";
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error) || ::access(name.c_str(), R_OK) != 0) {
      return name + ": no such readable file";
    }
    return "";
  };
  return fileName(std::move(request), result);
}

int HostSession::saveFileName(const char* prompt, const char* defaultName, const char* filter,
                              char* result) {
  FileRequest request{FileRequest::Kind::Save, prompt, defaultName, filter, {}};
  request.problemWith = [this](const std::string& name) -> std::string {
    if (name.size() > kMaxPathLength) {
      return "the name is longer than " + std::to_string(kMaxPathLength) + " characters";
    }
    return problemSaving(outputPath(name));
  };
  return fileName(std::move(request), result);
}

int HostSession::fileName(FileRequest request, char* result) {
  if (inputFailed_) return 0;
  const std::optional<std::string> name = dialogue_.askFileName(request);
  if (!name) {
    noteCancelled(request.prompt, "no file");
    return 0;
  }
  // Every dialogue refuses longer names (problemWith); the copy is bounded regardless,
  // since the run's buffer holds kMaxPathLength + 1 bytes.
  std::strncpy(result, name->c_str(), kMaxPathLength);
  result[kMaxPathLength] = '\0';
  return 1;
}

void HostSession::noteCancelled(std::string_view prompt, std::string_view givenInstead) {
  // A dialogue that failed has said so already, and ends the run.
  if (dialogue_.failed()) return;
  cancelled_.push_back({std::string(prompt), std::string(givenInstead)});
}

void HostSession::showBusy() { console_.startBusy(); }
void HostSession::stopBusy() { console_.stopBusy(); }

int HostSession::currentVmr(int* dimX, int* dimY, int* dimZ) const {
  if (!setup_.vmr) return 0;
  *dimX = setup_.vmr->dims()[0];
  *dimY = setup_.vmr->dims()[1];
  *dimZ = setup_.vmr->dims()[2];
  return 1;
}

bool HostSession::crossPosition(int* x, int* y, int* z) const {
  if (!setup_.vmr) return false;
  *x = setup_.vmr->cross()[0];
  *y = setup_.vmr->cross()[1];
  *z = setup_.vmr->cross()[2];
  return true;
}

SpatialFrame HostSession::vmrFrame() const {
  return setup_.vmr ? setup_.vmr->frame() : VmrDocument::empty256().frame();
}

void HostSession::stageConformedAnatomical() {
  if (!setup_.conformed) return;
  const ConformedAnatomical& conformed = *setup_.conformed;
  const std::string source = setup_.conformedFrom.string();
  if (conformed.alreadyConformed()) {
    console_.note("--conform: " + source + " already is " + describeGrid(conformed.geometry) +
                  "; the VMR is that image as it is, and no resampled copy is written");
  } else {
    const std::filesystem::path target = outputPath(kConformedAnatomicalName);
    console_.note("--conform: the VMR is " + source + " (" + describeGrid(conformed.original) +
                  ") resampled to " + describeGrid(conformed.geometry) +
                  " along its own axes and centred where it lies; for overlaying the results "
                  "the resampled anatomical is saved as " +
                  target.string() + " when the run completes");
    const std::filesystem::path staged =
        outputs_.stage(target, describeGrid(conformed.geometry) + ", float32");
    writeStaged(staged, [&](const std::filesystem::path& file) {
      writeFloatMapNifti(file, conformed.geometry, conformed.values.data(), MapIntent{},
                         setup_.gzipLevel);
    });
  }
  setup_.conformed.reset();  // the intensities are written; the VMR keeps only the grid
}

void HostSession::finishRun(bool completed) {
  if (!completed) {
    outputs_.discard(console_);
    noteVmrSizeIfRefused();
    return;
  }
  if (!outputs_.commit(console_)) outputFailed_ = true;
  reviewCompletedRun();
}

void HostSession::noteVmrSizeIfRefused() {
  // The plug-in works only on 256^3 VMRs and says so without the size it found.
  constexpr int kPluginVmrDimension = 256;
  if (!setup_.vmr) return;
  const std::array<int, 3>& dims = setup_.vmr->dims();
  if (dims[0] == kPluginVmrDimension && dims[1] == kPluginVmrDimension &&
      dims[2] == kPluginVmrDimension) {
    return;
  }
  console_.note("the VMR (--vmr) is " + std::to_string(dims[0]) + " x " + std::to_string(dims[1]) +
                " x " + std::to_string(dims[2]) +
                " voxels; the plug-in needs 256 x 256 x 256. "
                "Add --conform to have hvhost resample the anatomical to 256 x 256 x 256 voxels "
                "of 1 mm, keeping its world placement");
}

std::filesystem::path HostSession::outputPath(const std::string& name) const {
  const std::filesystem::path path(name);
  return path.is_absolute() ? path : setup_.outputDir / path;
}

}  // namespace hvhost
