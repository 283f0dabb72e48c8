// Fuzz target: study files, from TOML text to the study file's keys (the reader of
// tolvane simulate, with noise_from's merge). A study file may be refused with an
// InputError naming the file, the key and its line; any other exception (one of the
// TOML library's that escaped, a filesystem error) is a finding, as is an accepted file
// whose keys break the reader's promises.
#include "formats/errors.h"
#include "tests/fuzz/fuzz_support.h"
#include "tolvane/study/study_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path file = "fuzz/study.toml";
  try {
    const tolvane::study::StudyFile study = tolvane::study::parseStudyText(text, file);
    for (const tolvane::study::KeyPlace& place : study.places) {
      fuzzing::require(!place.key.empty() && place.line >= 0, "every key has a name and a line");
    }
    for (const tolvane::study::RegionEntry& region : study.regions) {
      for (const tolvane::study::KeyPlace& place : region.places) {
        fuzzing::require(!place.key.empty(), "every region key has a name");
      }
    }
  } catch (const tolvane::formats::InputError&) {
  }
  return 0;
}
