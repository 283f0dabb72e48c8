// A request to score `stat` against `truth`, the other choices left at their defaults.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "tolvane/analysis/evaluate.h"

inline tolvane::analysis::EvaluationRequest scoring(
    const std::filesystem::path& truth, const std::filesystem::path& stat,
    std::vector<double> thresholds = {}, std::optional<std::filesystem::path> effect = {},
    std::optional<double> trueEffect = {}) {
  tolvane::analysis::EvaluationRequest request;
  request.truth = truth;
  request.stat = stat;
  request.thresholds = std::move(thresholds);
  request.effect = std::move(effect);
  request.trueEffect = trueEffect;
  return request;
}
