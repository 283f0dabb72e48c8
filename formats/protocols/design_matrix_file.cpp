// Writing the design matrix text format; see design_matrix_file.h.
#include "formats/protocols/design_matrix_file.h"

#include <sstream>

#include "formats/atomic_file.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
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
      text << (p ? "\t" : "") << shortestText(matrix[p].volumeValues[static_cast<std::size_t>(v)]);
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
