// The response functions of the reference GLM (tolvane glm --hrf): how each condition
// of the events becomes one or more design columns.
//
//   twogamma              one column, the condition convolved with the canonical
//                         two-gamma (design/hrf.h), exactly as hvhost's design matrix;
//   twogamma+derivatives  three: that column, then its temporal and dispersion
//                         derivatives as SPM defines them: the finite differences of the
//                         unit-sum canonical kernel in onset, (h(t) - h(t - 1 s)) / 1 s,
//                         and in the response's dispersion, (h - h[s1 = 1.01]) / 0.01,
//                         orthogonalised by Gram-Schmidt on the fine grid (each against
//                         the kernels before it), then convolved like the canonical;
//   fir:N                 N columns, the finite impulse response in bins of one TR:
//                         column b (from 0) counts the condition's events whose onset
//                         lies in the TR of volume v - b.
// Columns are named CONDITION, CONDITION_derivative, CONDITION_dispersion, or
// CONDITION_bin01 ... CONDITION_binN.
#pragma once

#include <string>
#include <vector>

#include "design/protocol.h"

namespace tolvane::analysis {

enum class BasisKind { TwoGamma, TwoGammaDerivatives, Fir };

struct ResponseBasis {
  BasisKind kind = BasisKind::TwoGamma;
  int firBins = 0;

  std::size_t columnsPerCondition() const;
};

// The longest FIR: far beyond any response, and a bound on the design's width.
inline constexpr int kMaxFirBins = 64;

// Parses --hrf; throws InputError naming the forms allowed.
ResponseBasis parseResponseBasis(const std::string& text);

// The names of the condition's columns.
std::vector<std::string> basisColumnNames(const ResponseBasis& basis, const std::string& condition);

// The condition's columns over `volumes` volumes of the TR, one vector per column.
std::vector<std::vector<double>> basisColumns(const ResponseBasis& basis,
                                              const design::Condition& condition,
                                              design::TimeUnit unit, double trMilliseconds,
                                              int volumes);

}  // namespace tolvane::analysis
