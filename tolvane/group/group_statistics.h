// The statistics that combine first-level contrast estimates: runs within a subject by
// fixed effects, subjects by a second-level model on their estimates (the summary-
// statistics approach to a group analysis).
//
// Fixed effects. Runs r = 1..R of one subject with estimates e_r and variances v_r of
// the same contrast (per voxel) are combined with inverse-variance weights w_r = 1/v_r:
//   effect = sum w_r e_r / sum w_r,   variance = 1 / sum w_r,   t = effect / sqrt(variance)
// on sum_r df_r degrees of freedom. A voxel where some run's variance is not positive
// (a fit that was exact, or undefined) gets the plain mean of the estimates, variance 0
// and no t (NaN), as glm treats exact fits.
//
// Second level. The subjects' estimates y_s, s = 1..S, are fitted by ordinary least
// squares on the columns [1] (a one-sample t test: effect = mean, variance = sd^2 / S,
// S - 1 degrees of freedom) or [1, c - mean(c)] with a covariate c (a two-group design
// when c takes two values, a linear covariate otherwise; S - 2 degrees of freedom).
// The centred covariate keeps the first coefficient the group mean at the covariate's
// mean; the second is the covariate's slope (with groups coded 0 and 1, the difference
// of group 1 from group 0). Both are accumulated in double; each has an effect,
// variance, t and two-sided p map (p from the module's t_to_p). Voxels where the
// residual variance is 0 or any estimate is undefined get NaN for t and p.
#pragma once

#include <vector>

namespace tolvane::group {

struct RunEstimate {
  std::vector<double> effect, variance;  // one per voxel
  int degreesOfFreedom = 0;
};

struct StatisticMaps {
  std::vector<float> effect, variance, t, p;  // p left empty for a subject
  int degreesOfFreedom = 0;
};

// At least one run, all on the same voxels.
StatisticMaps fixedEffects(const std::vector<RunEstimate>& runs);

// One estimate map per subject; `covariate` is empty or has one value per subject.
// Returns the mean's maps, then the covariate's when there is one. The caller checks
// that there are more subjects than columns and that the covariate varies.
std::vector<StatisticMaps> secondLevel(const std::vector<std::vector<double>>& subjectEffects,
                                       const std::vector<double>& covariate);

}  // namespace tolvane::group
