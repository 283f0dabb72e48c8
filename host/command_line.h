// hvhost's command line (parsed with CLI11):
//
//   hvhost [options] MODULE          run a plug-in module once
//   hvhost info FILE.vtc             header and statistics of a native VTC file
//   hvhost convert FILE.vtc OUT.nii[.gz]   export a native VTC file as NIfTI-1
//
// The options of a run are listed by --help and in the README.
#pragma once

namespace hvhost {

// Returns an ExitStatus.
int runCommandLine(int argc, char** argv);

}  // namespace hvhost
