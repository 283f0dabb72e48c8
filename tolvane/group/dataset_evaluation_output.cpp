// The evaluation of a dataset as text and as JSON; see dataset_evaluation.h.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "tolvane/analysis/evaluation_json.h"
#include "tolvane/analysis/evaluation_text.h"
#include "tolvane/group/dataset_evaluation.h"

namespace tolvane::group {
namespace {

using Json = nlohmann::ordered_json;

using analysis::fixed;
using analysis::padded;
using analysis::rateWithInterval;
using analysis::significant;

void printRunTable(const DatasetEvaluation& evaluation, std::ostream& out) {
  out << "run" << std::string(40, ' ');
  if (evaluation.nullStudy) {
    for (const PooledThreshold& threshold : evaluation.thresholds)
      out << padded("FP>" + fixed(threshold.threshold, 2), 11);
    if (evaluation.clusterFamilyWise) out << padded("cluster", 9);
    if (evaluation.randomFieldFamilyWise) out << padded("RFT K", 8) << padded("cluster", 9);
  } else {
    out << padded("positives", 10) << padded("ROC area", 10);
    for (const PooledThreshold& threshold : evaluation.thresholds)
      out << padded("TPR>" + fixed(threshold.threshold, 2), 11);
  }
  out << "\n";
  for (const RunEvaluation& run : evaluation.runs) {
    const analysis::Evaluation& scores = run.evaluation;
    out << run.run << std::string(run.run.size() < 43 ? 43 - run.run.size() : 1, ' ');
    if (scores.null) {
      for (const analysis::NullThreshold& threshold : scores.null->thresholds)
        out << padded(std::to_string(threshold.voxelwise.count), 11);
      if (scores.null->largestCluster) out << padded(std::to_string(*scores.null->largestCluster), 9);
      if (const auto& field = scores.null->randomField) {
        out << padded(std::to_string(field->sizeThreshold), 8)
            << padded(std::to_string(field->largestCluster), 9);
      }
    } else {
      out << padded(std::to_string(scores.roc.positives), 10) << padded(fixed(scores.roc.area, 5), 10);
      for (const analysis::ThresholdCounts& counts : scores.counts)
        out << padded(fixed(counts.truePositiveRate(), 4), 11);
    }
    out << (run.fitted ? "  (fitted)" : "") << "\n";
  }
}

// Each run's scores.
Json runsJson(const DatasetEvaluation& evaluation) {
  using analysis::number;
  Json runs = Json::array();
  for (const RunEvaluation& run : evaluation.runs) {
    const analysis::Evaluation& scores = run.evaluation;
    Json entry{{"run", run.run}, {"statistic", scores.request.stat.string()}, {"fitted", run.fitted}};
    if (scores.null) {
      entry["thresholds"] = analysis::nullThresholdsJson(scores.null->thresholds);
      if (scores.null->largestCluster) entry["largestCluster"] = *scores.null->largestCluster;
      if (scores.null->randomField) {
        entry["randomField"] =
            analysis::randomFieldJson(*scores.null->randomField, scores.request.connectivity);
      }
    } else {
      entry["positives"] = scores.roc.positives;
      entry["areaUnderCurve"] = scores.roc.area;
      Json rates = Json::array();
      for (const analysis::ThresholdCounts& counts : scores.counts) {
        rates.push_back({{"threshold", counts.threshold},
                         {"truePositiveRate", number(counts.truePositiveRate())},
                         {"falsePositiveRate", number(counts.falsePositiveRate())}});
      }
      entry["thresholds"] = rates;
    }
    runs.push_back(entry);
  }
  return runs;
}

}  // namespace

void printDatasetEvaluation(const DatasetEvaluation& evaluation, std::ostream& out) {
  const analysis::Evaluation& first = evaluation.runs.front().evaluation;
  out << "contrast   " << *first.request.contrast << " (" << analysis::sidednessName(evaluation.sign)
      << "), " << evaluation.runs.size() << " runs"
      << (evaluation.nullStudy ? ", a null study: no voxel has a true contrast" : "") << "\n\n";
  printRunTable(evaluation, out);
  out << "\npooled over the runs, inside " << first.mask.describe()
      << (first.mask.wholeGrid() ? "" : " of each run") << "\n";
  if (evaluation.nullStudy) {
    out << " threshold   nominal   voxelwise FP rate [95 %]        family-wise rate [95 %]\n";
    for (const PooledThreshold& threshold : evaluation.thresholds) {
      out << padded(fixed(threshold.threshold, 3), 10) << padded(significant(threshold.nominalRate, 3), 10)
          << "   " << rateWithInterval(threshold.voxelwise) << "   "
          << rateWithInterval(threshold.familyWise) << "\n";
    }
    if (evaluation.clusterFamilyWise) {
      out << "cluster-level family-wise rate (a cluster of at least "
          << first.request.clusterSize << " voxels above " << fixed(*first.request.clusterThreshold, 3)
          << "): " << rateWithInterval(*evaluation.clusterFamilyWise) << "\n";
    }
    if (evaluation.randomFieldFamilyWise) {
      out << "cluster-level family-wise rate by random field theory (a cluster of at least each "
          << "run's K above p < " << significant(*first.request.clusterP, 3) << ", "
          << analysis::neighbourCount(first.request.connectivity)
          << "-connected): " << rateWithInterval(*evaluation.randomFieldFamilyWise) << "\n";
    }
    if (evaluation.studentAgreement) {
      out << "null t against Student's t on " << *first.degreesOfFreedom
          << " degrees of freedom: largest CDF difference "
          << fixed(evaluation.studentAgreement->largestDifference, 5) << " over "
          << evaluation.studentAgreement->values << " values (5 % critical value for independent "
          << "values " << fixed(evaluation.studentAgreement->criticalValue5, 5) << ")\n";
    }
  } else {
    out << "ROC area   mean " << fixed(evaluation.meanArea, 5) << ", SD "
        << fixed(evaluation.areaStandardDeviation, 5) << "\n";
    out << " threshold      TP      FP      FN        TN     TPR      FPR\n";
    for (const PooledThreshold& threshold : evaluation.thresholds) {
      const analysis::ThresholdCounts& counts = threshold.counts;
      out << padded(fixed(threshold.threshold, 3), 10) << padded(std::to_string(counts.truePositives), 8)
          << padded(std::to_string(counts.falsePositives), 8)
          << padded(std::to_string(counts.falseNegatives), 8)
          << padded(std::to_string(counts.trueNegatives), 10)
          << padded(fixed(counts.truePositiveRate(), 4), 8)
          << padded(fixed(counts.falsePositiveRate(), 5), 9) << "\n";
    }
  }
  if (evaluation.group) {
    const analysis::Evaluation& group = *evaluation.group;
    out << "\ngroup      " << group.request.stat.string() << "\n";
    if (group.null) {
      for (const analysis::NullThreshold& threshold : group.null->thresholds) {
        out << "  above " << fixed(threshold.threshold, 3) << ": " << threshold.voxelwise.count
            << " voxels of " << threshold.voxelwise.total << "\n";
      }
    } else {
      out << "  ROC area " << fixed(group.roc.area, 5) << " against the group truth ("
          << group.roc.positives << " positives)\n";
      for (const analysis::RegionScore& region : group.regions) {
        out << "  " << region.name << ": " << region.voxels << " voxels, peak "
            << fixed(region.peakStatistic, 3) << "\n";
      }
    }
  }
}

void writeDatasetEvaluationJson(const DatasetEvaluation& evaluation,
                                const std::filesystem::path& file) {
  using analysis::number;
  using analysis::proportionJson;
  const analysis::Evaluation& first = evaluation.runs.front().evaluation;
  Json json;
  json["contrast"] = *first.request.contrast;
  json["sign"] = analysis::sidednessName(evaluation.sign);
  json["nullStudy"] = evaluation.nullStudy;
  if (first.degreesOfFreedom) json["degreesOfFreedom"] = *first.degreesOfFreedom;
  json["runs"] = runsJson(evaluation);
  Json pooled;
  pooled["mask"] = {{"source", first.mask.source}, {"voxels", first.mask.voxels}};
  Json thresholds = Json::array();
  for (const PooledThreshold& threshold : evaluation.thresholds) {
    Json entry{{"threshold", threshold.threshold}, {"nominalRate", number(threshold.nominalRate)}};
    if (evaluation.nullStudy) {
      entry["falsePositiveRate"] = proportionJson(threshold.voxelwise);
      entry["familyWiseRate"] = proportionJson(threshold.familyWise);
    } else {
      entry["truePositives"] = threshold.counts.truePositives;
      entry["falsePositives"] = threshold.counts.falsePositives;
      entry["falseNegatives"] = threshold.counts.falseNegatives;
      entry["trueNegatives"] = threshold.counts.trueNegatives;
    }
    thresholds.push_back(entry);
  }
  if (!evaluation.nullStudy) {
    pooled["meanAreaUnderCurve"] = number(evaluation.meanArea);
    pooled["areaStandardDeviation"] = number(evaluation.areaStandardDeviation);
  }
  pooled["thresholds"] = thresholds;
  if (evaluation.clusterFamilyWise) {
    pooled["clusterThreshold"] = *first.request.clusterThreshold;
    pooled["clusterSize"] = first.request.clusterSize;
    pooled["clusterFamilyWiseRate"] = proportionJson(*evaluation.clusterFamilyWise);
    pooled["connectivity"] = analysis::neighbourCount(first.request.connectivity);
  }
  if (evaluation.randomFieldFamilyWise) {
    pooled["clusterFormingP"] = *first.request.clusterP;
    pooled["randomFieldClusterFamilyWiseRate"] = proportionJson(*evaluation.randomFieldFamilyWise);
  }
  if (evaluation.studentAgreement) {
    pooled["studentT"] = {{"values", evaluation.studentAgreement->values},
                          {"largestCdfDifference", evaluation.studentAgreement->largestDifference},
                          {"criticalValue5Percent", evaluation.studentAgreement->criticalValue5}};
  }
  json["pooled"] = pooled;
  if (evaluation.group) {
    const analysis::Evaluation& group = *evaluation.group;
    Json entry{{"statistic", group.request.stat.string()}};
    if (group.null) {
      entry["thresholds"] = analysis::nullThresholdsJson(group.null->thresholds);
    } else {
      entry["positives"] = group.roc.positives;
      entry["areaUnderCurve"] = group.roc.area;
      Json regions = Json::array();
      for (const analysis::RegionScore& region : group.regions) {
        regions.push_back({{"name", region.name}, {"voxels", region.voxels},
                           {"peakStatistic", number(region.peakStatistic)}});
      }
      entry["regions"] = regions;
    }
    json["group"] = entry;
  }
  analysis::writeJsonFile(json, file);
}

}  // namespace tolvane::group
