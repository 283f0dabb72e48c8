// From a run's command-line options to the session it runs in, in two steps: the
// options are checked and turned into a plan without touching any file, then the plan
// is carried out, reading the files it names. A mistake in the options is thus found
// before any file is read, and reading stays in one place.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/session/host_session.h"
#include "host/shared_names.h"

namespace hvhost {

// A run's options as given, before they are checked.
struct RunOptions {
  std::string module;
  std::string answers;
  bool defaults = false;
  std::string protocol;
  std::string outputDir = ".";
  std::string log;
  std::string vmr;
  bool conform = false;
  bool noVmr = false;
  std::string cross;
  std::string box;
  int resolution = 3;
  double tr = 2000.0;
  std::vector<std::string> vois;
  std::string hostVersion = "2.4.0";
  int gzipLevel = formats::kDefaultGzipLevel;
};

// Checked options: every value parsed and within its range, every combination
// allowed. The files are named, not yet read.
struct RunPlan {
  std::filesystem::path module;
  HostVersion version;
  bool noVmr = false;
  std::filesystem::path vmrFile;  // empty: the empty 256^3 volume
  bool conform = false;           // resample vmrFile to 256^3 voxels of 1 mm
  std::optional<std::array<int, 3>> cross;
  formats::VtcGeometry vtcGrid;
  std::vector<std::filesystem::path> voiFiles;
  std::filesystem::path protocolFile;
  std::filesystem::path outputDir;
  int gzipLevel = formats::kDefaultGzipLevel;
};

// Throws InputError naming the option at fault; reads nothing.
RunPlan checkRunOptions(const RunOptions& options);

// Reads the VMR and VOI files (the VMR whole, to conform it), checks that the module
// and protocol exist, and makes the output folder (checking that files can be created
// in it); throws InputError naming the file or option at fault.
SessionSetup buildSessionSetup(const RunPlan& plan);

}  // namespace hvhost
