// A region's haemodynamic response as the study resolves it: its model and, for each
// parameter, the mean and the spreads of its draws (response_draws.h).
#pragma once

#include <array>
#include <vector>

#include "design/response_shapes.h"
#include "tolvane/study/response_entry.h"

namespace tolvane::study {

// A parameter's value for a subject s and region r: (mean + sd z_s) + regionSd z_sr.
struct DrawnValue {
  double mean = 0.0;
  double sd = 0.0;
  double regionSd = 0.0;
};

struct RegionResponse {
  design::ResponseModel model = design::ResponseModel::TwoGamma;
  std::array<DrawnValue, kResponseParameters> parameters{};  // by ResponseParameter
  std::vector<double> firValues;
  double firStepSeconds = 0.0;

  bool varies() const;  // some parameter has an sd or a region sd
};

}  // namespace tolvane::study
