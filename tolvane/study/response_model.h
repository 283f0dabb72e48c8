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

// A condition's trial-by-trial spread (trial_amplitudes.h): trial i of the condition
// has, in a region of effect a, the amplitude a (1 + sd z_i) when relative, else
// a + sd z_i, sd in data units.
struct TrialSpread {
  double sd = 0.0;
  bool relative = false;
};

}  // namespace tolvane::study
