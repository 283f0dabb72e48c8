// The subcommands that work on native VTC files without a plug-in: `info` prints a
// file's header and simple statistics of its values, `convert` exports it as NIfTI-1.
// Both return an ExitStatus; problems with the files are reported on the console.
#pragma once

#include <filesystem>
#include <ostream>

namespace hvhost {

class Console;

int printVtcInfo(const std::filesystem::path& file, std::ostream& out, Console& console);
int convertVtcToNifti(const std::filesystem::path& in, const std::filesystem::path& out,
                      int gzipLevel, Console& console);

}  // namespace hvhost
