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
// A VOI may list no voxels; names need not be unique. Every voxel must stand for a
// voxel of the VMR in the file's reference space: one outside is a mistake in the
// coordinates or in the space code, and is refused where it stands.
#include <string>

#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"

namespace tolvane::formats {
namespace {

void checkVoiName(const std::filesystem::path& file, int line, std::string_view name) {
  if (name.empty() || name.size() > kMaxVoiNameLength) {
    failAt(file, line,
           "expected a VOI name of 1 to " + std::to_string(kMaxVoiNameLength) +
               " characters after 'voi'");
  }
  if (hasControlCharacters(name)) {
    failAt(file, line, "expected a VOI name without tabs or control characters");
  }
}

std::array<std::int32_t, 3> parseVoxel(const std::filesystem::path& file, int line,
                                       const std::vector<std::string_view>& tokens,
                                       std::string_view content) {
  std::array<std::int32_t, 3> voxel{};
  bool valid = tokens.size() == voxel.size();
  for (std::size_t axis = 0; valid && axis < voxel.size(); ++axis) {
    const std::optional<int> value = parseInt(tokens[axis]);
    valid = value.has_value();
    voxel[axis] = value.value_or(0);
  }
  if (!valid) {
    failAt(file, line,
           "expected 'voi NAME' or a voxel of three whole numbers, found " + inQuotes(content));
  }
  return voxel;
}

void checkInsideVmr(const std::filesystem::path& file, int line, std::int32_t space,
                    const std::array<std::int32_t, 3>& stored, const std::array<int, 3>& vmrDims) {
  const std::array<std::int64_t, 3> voxel = vmrVoxelOf(space, stored);
  for (int axis = 0; axis < 3; ++axis) {
    if (voxel[axis] < 0 || voxel[axis] >= vmrDims[axis]) {
      failAt(file, line,
             "expected a voxel inside the VMR of " + std::to_string(vmrDims[0]) + " x " +
                 std::to_string(vmrDims[1]) + " x " + std::to_string(vmrDims[2]) +
                 " voxels, found one at VMR (" + std::to_string(voxel[0]) + ", " +
                 std::to_string(voxel[1]) + ", " + std::to_string(voxel[2]) +
                 ") in reference space " + std::to_string(space));
    }
  }
}

}  // namespace

VoiFile readVoiText(std::istream& in, const std::filesystem::path& file,
                    const std::array<int, 3>& vmrDims) {
  VoiFile result;
  bool spaceGiven = false;
  TextLineReader reader(in, file, kVoiTextLimits);
  TextLine line;
  while (reader.next(line)) {
    if (isCommentOrBlank(line.text)) continue;
    const std::string_view content = trim(line.text);
    const auto tokens = splitWhitespace(content);
    const std::string_view keyword = tokens.front();
    if (!spaceGiven) {
      const auto code = tokens.size() == 2 ? parseInt(tokens[1]) : std::nullopt;
      if (keyword != "reference-space" || !code) {
        failAt(
            file, line.number,
            "expected 'reference-space CODE' (a whole number) first, found " + inQuotes(content));
      }
      result.referenceSpace = *code;
      spaceGiven = true;
    } else if (keyword == "voi") {
      const std::string_view name = trim(content.substr(keyword.size()));
      checkVoiName(file, line.number, name);
      if (result.vois.size() == kMaxVois) {
        failAt(file, line.number,
               "expected at most " + std::to_string(kMaxVois) + " VOIs, found more");
      }
      result.vois.push_back({std::string(name), {}});
    } else if (result.vois.empty()) {
      failAt(file, line.number,
             "expected 'voi NAME' before the first voxel, found " + inQuotes(content));
    } else {
      const std::array<std::int32_t, 3> voxel = parseVoxel(file, line.number, tokens, content);
      checkInsideVmr(file, line.number, result.referenceSpace, voxel, vmrDims);
      result.vois.back().voxels.insert(result.vois.back().voxels.end(), voxel.begin(), voxel.end());
    }
  }
  if (!spaceGiven) failAt(file, 1, "expected 'reference-space CODE' first, found nothing");
  return result;
}

}  // namespace tolvane::formats
