// hvhost's command line (parsed with CLI11):
//
//   hvhost [options] MODULE          run a plug-in module once
//   hvhost info FILE.vtc             header and statistics of a native VTC file
//   hvhost convert FILE.vtc OUT.nii[.gz]   export a native VTC file as NIfTI-1
//
// The options of a run are listed by --help and in the README. Returns an ExitStatus.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/session/host_session.h"

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
  bool noVmr = false;
  std::string cross;
  std::string box;
  int resolution = 3;
  double tr = 2000.0;
  std::vector<std::string> vois;
  std::string hostVersion = "2.4.0";
  int gzipLevel = kDefaultGzipLevel;
};

// Checks the options and builds the session's documents (reading the VMR and VOI
// files); throws InputError naming the option or file at fault.
SessionSetup buildSessionSetup(const RunOptions& options);

int runCommandLine(int argc, char** argv);

}  // namespace hvhost
