// Writing the design matrix text format; see design_matrix_file.h.
#include "formats/protocols/design_matrix_file.h"

#include <charconv>
#include <sstream>

#include "formats/atomic_file.h"

namespace tolvane::formats {
namespace {

// Shortest text that reads back as the same float.
std::string floatText(float value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

void writeDesignMatrixFile(const std::filesystem::path& file, const design::DesignMatrix& matrix,
                           int numberOfVolumes, double trMilliseconds) {
  std::ostringstream text;
  text << "# hvhost design matrix\n"
       << "# predictors: " << matrix.size() << '\n'
       << "# volumes: " << numberOfVolumes << '\n'
       << "# TR (ms): " << trMilliseconds << '\n';
  for (std::size_t p = 0; p < matrix.size(); ++p) text << (p ? "\t" : "") << matrix[p].name;
  text << '\n';
  for (int v = 0; v < numberOfVolumes; ++v) {
    for (std::size_t p = 0; p < matrix.size(); ++p) {
      text << (p ? "\t" : "") << floatText(matrix[p].volumeValues[static_cast<std::size_t>(v)]);
    }
    text << '\n';
  }

  AtomicFileWriter writer(file);
  CheckedOutputFile out(writer.temporaryPath(), file.string());
  out.write(text.str());
  out.close();
  writer.commit();
}

}  // namespace tolvane::formats
