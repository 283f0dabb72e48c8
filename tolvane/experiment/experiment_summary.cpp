// The experiment's summary from its table; see experiment_summary.h.
#include "tolvane/experiment/experiment_summary.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>

#include "formats/errors.h"
#include "tolvane/analysis/evaluation_json.h"
#include "tolvane/analysis/null_rates.h"

namespace tolvane::experiment {
namespace {

using Json = nlohmann::ordered_json;

class Columns {
 public:
  Columns(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows)
      : header_(header), rows_(rows) {}

  std::vector<double> values(const std::string& name) const {
    const auto found = std::find(header_.begin(), header_.end(), name);
    if (found == header_.end()) throw formats::InputError("results table: no column " + name);
    const auto column = std::size_t(found - header_.begin());
    std::vector<double> out;
    for (const auto& row : rows_) out.push_back(std::stod(row[column]));
    return out;
  }

 private:
  const std::vector<std::string>& header_;
  const std::vector<std::vector<std::string>>& rows_;
};

// The value at rank ceil(0.95 n) of the sorted values (nearest rank); NaN for none.
double percentile95(std::vector<double> values) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(0.95 * double(values.size())));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

Json share(const std::vector<bool>& events) {
  const auto count = std::count(events.begin(), events.end(), true);
  return analysis::proportionJson(analysis::proportion(count, std::int64_t(events.size())));
}

Json clusterForming(const Columns& columns, const std::string& p, const std::vector<double>& repetitions,
                    const std::vector<double>& maskVoxels) {
  const std::vector<double> above = columns.values("voxels_above_p" + p);
  const std::vector<double> largest = columns.values("largest_cluster_p" + p);
  const std::vector<double> fieldK = columns.values("rft_k_p" + p);
  double aboveSum = 0.0, voxelSum = 0.0;
  std::vector<bool> fieldEvents;
  std::vector<double> calibration;
  for (std::size_t i = 0; i < largest.size(); ++i) {
    aboveSum += above[i];
    voxelSum += maskVoxels[i];
    fieldEvents.push_back(largest[i] >= fieldK[i]);
    if (std::fmod(repetitions[i], 2.0) == 0.0) calibration.push_back(largest[i]);
  }
  const double monteCarloK = percentile95(calibration) + 1.0;
  std::vector<bool> heldOut;
  for (std::size_t i = 0; i < largest.size(); ++i) {
    if (std::fmod(repetitions[i], 2.0) != 0.0) heldOut.push_back(largest[i] >= monteCarloK);
  }
  Json json;
  json["p"] = std::stod(p);
  json["threshold"] = columns.values("threshold_p" + p).front();
  json["voxelwiseRate"] = analysis::proportionJson(
      analysis::proportion(std::int64_t(aboveSum), std::int64_t(voxelSum)));
  json["largestCluster95"] = analysis::number(percentile95(largest));
  json["randomField"] = {{"meanK", analysis::number(
                              std::accumulate(fieldK.begin(), fieldK.end(), 0.0) / double(fieldK.size()))},
                         {"familyWiseRate", share(fieldEvents)}};
  json["monteCarlo"] = {{"K", analysis::number(monteCarloK)},
                        {"calibrationMaps", calibration.size()},
                        {"heldOutFamilyWiseRate", share(heldOut)}};
  return json;
}

}  // namespace

std::string summaryJson(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows) {
  const Columns columns(header, rows);
  const std::vector<double> repetitions = columns.values("repetition");
  const std::vector<double> maskVoxels = columns.values("mask_voxels");
  const std::vector<double> dof = columns.values("dof");
  const std::vector<double> maxT = columns.values("max_t");
  std::vector<std::string> ps, regions;
  for (const std::string& name : header) {
    if (name.rfind("threshold_p", 0) == 0) ps.push_back(name.substr(11));
    if (name.rfind("peak_t_", 0) == 0) regions.push_back(name.substr(7));
  }
  std::vector<double> uncorrected(rows.size()), bonferroni(rows.size());
  std::vector<bool> maxEvents;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    uncorrected[i] = analysis::tThresholdOfP(kUncorrectedP, int(dof[i]), true);
    bonferroni[i] = analysis::tThresholdOfP(kFamilyWiseAlpha / maskVoxels[i], int(dof[i]), true);
    maxEvents.push_back(maxT[i] > bonferroni[i]);
  }
  Json json;
  json["maps"] = rows.size();
  json["repetitions"] = std::set<double>(repetitions.begin(), repetitions.end()).size();
  json["maxStatistic"] = {{"percentile95", analysis::number(percentile95(maxT))},
                          {"bonferroniFamilyWiseRate", share(maxEvents)}};
  Json forming = Json::array();
  for (const std::string& p : ps) forming.push_back(clusterForming(columns, p, repetitions, maskVoxels));
  json["clusterForming"] = forming;
  Json power = Json::array();
  for (const std::string& region : regions) {
    const std::vector<double> peak = columns.values("peak_t_" + region);
    std::vector<bool> atUncorrected, atBonferroni;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      atUncorrected.push_back(peak[i] > uncorrected[i]);
      atBonferroni.push_back(peak[i] > bonferroni[i]);
    }
    Json entry{{"region", region},
               {"uncorrectedP001", share(atUncorrected)},
               {"bonferroni", share(atBonferroni)}};
    Json clusters = Json::array();
    for (const std::string& p : ps) {
      const std::vector<double> reaching = columns.values("cluster_p" + p + "_" + region);
      const std::vector<double> fieldK = columns.values("rft_k_p" + p);
      std::vector<bool> detected;
      for (std::size_t i = 0; i < rows.size(); ++i) detected.push_back(reaching[i] >= fieldK[i] && reaching[i] > 0);
      clusters.push_back({{"p", std::stod(p)}, {"randomFieldClusterPower", share(detected)}});
    }
    entry["clusters"] = clusters;
    power.push_back(entry);
  }
  json["regions"] = power;
  return json.dump(2);
}

}  // namespace tolvane::experiment
