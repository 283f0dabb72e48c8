// Evaluations as text for a terminal, and the number formats they share: rates in
// three significant digits (a nominal rate of 6.25e-06 stays readable), with their 95 %
// intervals in brackets; NaN as "n/a".
#pragma once

#include <ostream>
#include <string>

#include "tolvane/analysis/evaluate.h"

namespace tolvane::analysis {

std::string fixed(double value, int decimals);
std::string significant(double value, int digits);
// Right-aligned in `width` characters.
std::string padded(const std::string& text, std::size_t width);
// "0.0302 [0.0293, 0.031]"
std::string rateWithInterval(const Proportion& rate);
// One line: the forming threshold, the smoothness, K and the largest cluster.
std::string randomFieldLine(const RandomFieldClusters& clusters, int neighbours);

// The truth, the statistic, the ROC area, the counts per threshold and the regions; or,
// for a null study, the false-positive rates, the largest cluster and Student's t.
void printEvaluation(const Evaluation& evaluation, std::ostream& out);

}  // namespace tolvane::analysis
