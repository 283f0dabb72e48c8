// The subcommands that work on VTC files without a plug-in: `info` prints a file's
// header and simple statistics of its values, for a native VTC or a NIfTI image (the
// two formats hvhost saves; the format read is named), and `convert` exports a native
// VTC as NIfTI-1.
// Both throw: InputError for a file that cannot be read, OutputError for one that
// cannot be written, UsageError for an output name that is not NIfTI, StorageError
// for a VTC that memory cannot hold.
#pragma once

#include <filesystem>
#include <ostream>

namespace hvhost {

class Console;

void printVtcInfo(const std::filesystem::path& file, std::ostream& out);
void convertVtcToNifti(const std::filesystem::path& in, const std::filesystem::path& out,
                       int gzipLevel, Console& console);

}  // namespace hvhost
