// The VOI text format:
//
//   # comment lines start with '#'; blank lines are ignored
//   reference-space 1        required, first: the code of the voxels' space
//   voi Left cluster         the rest of the line, trimmed, is the name
//     100 120 130            one voxel per line: three whole numbers c0 c1 c2
//     101 120 130
//   voi Right cluster
//     ...
//
// A VOI may list no voxels; names need not be unique.
#include "host/text_parsing.h"
#include "host/voi_set.h"

namespace hvhost {

VoiFile readVoiText(const std::filesystem::path& file) {
  VoiFile result;
  bool spaceGiven = false;
  for (const TextLine& line : readTextLines(file)) {
    if (isCommentOrBlank(line.text)) continue;
    const std::string_view content = trim(line.text);
    const auto tokens = splitWhitespace(content);
    const std::string_view keyword = tokens.front();
    if (!spaceGiven) {
      const auto code = tokens.size() == 2 ? parseInt(tokens[1]) : std::nullopt;
      if (keyword != "reference-space" || !code) {
        failAt(file, line.number,
               "expected 'reference-space CODE' (a whole number) first, found " + inQuotes(content));
      }
      result.referenceSpace = *code;
      spaceGiven = true;
    } else if (keyword == "voi") {
      const std::string_view name = trim(content.substr(keyword.size()));
      if (name.empty() || name.size() > kMaxVoiNameLength) {
        failAt(file, line.number,
               "expected a VOI name of 1 to " + std::to_string(kMaxVoiNameLength) +
                   " characters after 'voi'");
      }
      result.vois.push_back({std::string(name), {}});
    } else if (result.vois.empty()) {
      failAt(file, line.number, "expected 'voi NAME' before the first voxel, found " + inQuotes(content));
    } else {
      const auto x = tokens.size() == 3 ? parseInt(tokens[0]) : std::nullopt;
      const auto y = tokens.size() == 3 ? parseInt(tokens[1]) : std::nullopt;
      const auto z = tokens.size() == 3 ? parseInt(tokens[2]) : std::nullopt;
      if (!x || !y || !z) {
        failAt(file, line.number,
               "expected 'voi NAME' or a voxel of three whole numbers, found " + inQuotes(content));
      }
      result.vois.back().voxels.insert(result.vois.back().voxels.end(), {*x, *y, *z});
    }
  }
  if (!spaceGiven) failAt(file, 1, "expected 'reference-space CODE' first, found nothing");
  return result;
}

}  // namespace hvhost
