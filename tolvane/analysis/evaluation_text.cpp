// The evaluation of one map as text; see evaluation_text.h.
#include "tolvane/analysis/evaluation_text.h"

#include <cmath>
#include <cstdio>

namespace tolvane::analysis {

std::string fixed(double value, int decimals) {
  if (std::isnan(value)) return "n/a";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

std::string significant(double value, int digits) {
  if (std::isnan(value)) return "n/a";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  return buffer;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string rateWithInterval(const Proportion& rate) {
  return significant(rate.rate, 3) + " [" + significant(rate.lower, 3) + ", " +
         significant(rate.upper, 3) + "]";
}

std::string randomFieldLine(const RandomFieldClusters& clusters, int neighbours) {
  const Smoothness& smoothness = clusters.smoothness;
  return "random field theory at p < " + significant(clusters.formingP, 3) + " (" +
         fixed(clusters.threshold, 3) + "): residual FWHM " + fixed(smoothness.fwhmMm[0], 2) +
         " x " + fixed(smoothness.fwhmMm[1], 2) + " x " + fixed(smoothness.fwhmMm[2], 2) +
         " mm, " + fixed(smoothness.resels, 1) + " resels, " +
         fixed(clusters.theory.expectedClusters, 2) + " clusters expected; K = " +
         std::to_string(clusters.sizeThreshold) + " voxels for a family-wise " +
         significant(kClusterAlpha, 2) + "; largest cluster " +
         std::to_string(clusters.largestCluster) + " voxels (" + std::to_string(neighbours) +
         "-connected)";
}

namespace {

void printNullEvaluation(const Evaluation& evaluation, std::ostream& out) {
  const NullScores& null = *evaluation.null;
  out << "truth      " << evaluation.request.truth.string()
      << ": no voxel has a true effect, a null study\n";
  out << "statistic  " << evaluation.request.stat.string() << " ("
      << sidednessName(evaluation.sign) << ", " << evaluation.undefinedStatistics
      << " undefined voxels left out)\n";
  out << "mask       rates over " << evaluation.mask.describe() << "\n";
  if (!null.thresholds.empty()) {
    out << "\n threshold   nominal   false-positive rate [95 %]    voxels above\n";
    for (const NullThreshold& threshold : null.thresholds) {
      out << padded(fixed(threshold.threshold, 3), 10) << padded(significant(threshold.nominalRate, 3), 10)
          << "   " << rateWithInterval(threshold.voxelwise) << padded(
                 std::to_string(threshold.voxelwise.count), 10) << "\n";
    }
  }
  const int neighbours = neighbourCount(evaluation.request.connectivity);
  if (null.largestCluster) {
    out << "largest cluster above " << fixed(*evaluation.request.clusterThreshold, 3) << ": "
        << *null.largestCluster << " voxels (" << neighbours << "-connected)\n";
  }
  if (null.randomField) out << randomFieldLine(*null.randomField, neighbours) << "\n";
  if (null.studentAgreement) {
    out << "t against Student's t on " << *evaluation.degreesOfFreedom
        << " degrees of freedom: largest CDF difference "
        << fixed(null.studentAgreement->largestDifference, 5) << " (5 % critical value "
        << fixed(null.studentAgreement->criticalValue5, 5) << " for independent values)\n";
  }
}

}  // namespace

void printEvaluation(const Evaluation& evaluation, std::ostream& out) {
  if (evaluation.null) return printNullEvaluation(evaluation, out);
  const EvaluationRequest& request = evaluation.request;
  if (request.contrast) {
    out << "contrast   " << *request.contrast << " ("
        << sidednessName(evaluation.sign) << ")\n";
  }
  out << "truth      " << request.truth.string() << " ("
      << (evaluation.labelTruth ? "label image" : "amplitude map")
      << "): " << evaluation.roc.positives << " positives, " << evaluation.roc.negatives
      << " negatives\n";
  out << "statistic  " << request.stat.string() << " (" << evaluation.undefinedStatistics
      << " undefined voxels, ranked lowest)\n";
  out << "mask       scored over " << evaluation.mask.describe() << "\n";
  out << "ROC area   " << fixed(evaluation.roc.area, 5) << " (SD under the null "
      << fixed(evaluation.roc.nullStandardDeviation, 5) << ")\n";
  if (!evaluation.counts.empty()) {
    out << "\nactive when statistic > threshold\n"
        << " threshold      TP      FP      FN        TN     TPR      FPR\n";
    for (const ThresholdCounts& counts : evaluation.counts) {
      out << padded(fixed(counts.threshold, 3), 10)
          << padded(std::to_string(counts.truePositives), 8)
          << padded(std::to_string(counts.falsePositives), 8)
          << padded(std::to_string(counts.falseNegatives), 8)
          << padded(std::to_string(counts.trueNegatives), 10)
          << padded(fixed(counts.truePositiveRate(), 4), 8)
          << padded(fixed(counts.falsePositiveRate(), 5), 9) << "\n";
    }
  }
  out << "\nregions\n";
  for (const RegionScore& region : evaluation.regions) {
    out << "  " << region.name << ": " << region.voxels << " voxels, peak "
        << fixed(region.peakStatistic, 3) << " at voxel (" << region.peakVoxel[0] << ", "
        << region.peakVoxel[1] << ", " << region.peakVoxel[2] << ")";
    for (std::size_t i = 0; i < region.detected.size(); ++i) {
      out << (i == 0 ? "; " : ", ") << (region.detected[i] ? "detected" : "missed") << " at "
          << fixed(evaluation.counts[i].threshold, 3);
    }
    if (region.effect) {
      out << "; effect bias " << fixed(region.effect->bias, 4) << ", RMS error "
          << fixed(region.effect->rootMeanSquareError, 4);
    }
    out << "\n";
  }
  if (evaluation.effect) {
    out << "effect     bias " << fixed(evaluation.effect->bias, 4) << ", RMS error "
        << fixed(evaluation.effect->rootMeanSquareError, 4) << " over the positives\n";
  }
}


}  // namespace tolvane::analysis
