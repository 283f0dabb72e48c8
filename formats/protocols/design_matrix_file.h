// The design matrix text format (.rtc): tab-separated, one column per predictor.
//
//   # hvhost design matrix
//   # predictors: 2
//   # volumes: 250
//   # TR (ms): 2000
//   Rest<TAB>Task
//   0<TAB>0
//   ...                        one row per volume, values as shortest round-trip floats
//
// Lines starting with '#' are comments, so the table loads directly into tools that
// read tab-separated values with a comment character.
#pragma once

#include <filesystem>

#include "design/design_matrix.h"

namespace tolvane::formats {

// Writes through a temporary file; throws OutputError.
void writeDesignMatrixFile(const std::filesystem::path& file, const design::DesignMatrix& matrix,
                           int numberOfVolumes, double trMilliseconds);

}  // namespace tolvane::formats
