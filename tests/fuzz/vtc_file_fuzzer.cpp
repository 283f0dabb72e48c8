// Fuzz target: the native VTC reader, header and data, as `hvhost info` and
// `hvhost convert` use it.
#include "formats/text_parsing.h"
#include "formats/vtc/vtc_file.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  try {
    const tolvane::formats::VtcFileHeader header =
        tolvane::formats::readVtcFileHeader(in, size, "fuzz.vtc");
    const tolvane::formats::VtcGeometry& grid = header.grid;
    fuzzing::require(grid.dimX() > 0 && grid.dimY() > 0 && grid.dimZ() > 0 && grid.timePoints > 0,
                     "an accepted grid has voxels and time points");
    fuzzing::require(header.dataOffset + grid.valueCount() * sizeof(float) == size,
                     "the header accounts for every byte of the file");
    std::uint64_t values = 0;
    tolvane::formats::readVtcFileData(in, header, "fuzz.vtc",
                                      [&](const float*, std::size_t count) { values += count; });
    fuzzing::require(values == grid.valueCount(), "the data holds the values the header promises");
  } catch (const tolvane::formats::InputError&) {
  }
  return 0;
}
