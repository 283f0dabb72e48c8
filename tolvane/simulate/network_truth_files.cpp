// A run's network truth files; see network_truth_files.h.
#include "tolvane/simulate/network_truth_files.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "formats/atomic_file.h"
#include "formats/text_parsing.h"

namespace tolvane::simulate {
namespace {

using Json = nlohmann::ordered_json;

void writeIfNeeded(const std::filesystem::path& file, const std::string& text, bool keepExisting) {
  if (keepExisting && std::filesystem::exists(file)) return;
  formats::createFolders(file.parent_path());
  formats::writeTextFile(file, text);
}

Json networksDescription(const study::Study& study) {
  Json networks = Json::array();
  for (const study::Network& network : study.networks) {
    Json regions = Json::array();
    for (const std::size_t r : network.nodes) regions.push_back(study.regions[r].name);
    Json entry = {{"Name", network.name},
                  {"Regions", regions},
                  {"BandHertz", {network.bandLowHz, network.bandHighHz}},
                  {"Amplitude", network.amplitude},
                  {"AmplitudeAsWritten", network.amplitudeAsWritten},
                  {"Profile", network.fwhmMm ? Json({{"FWHMMillimetres", *network.fwhmMm}})
                                             : Json("uniform")},
                  {"VariesBySubject", network.varies()}};
    networks.push_back(entry);
  }
  return networks;
}

}  // namespace

std::string networkTimeseriesText(const NetworkRunTruth& truth) {
  std::string text;
  for (std::size_t node = 0; node < truth.nodeNames.size(); ++node) {
    text += (node ? "\t" : "") + truth.nodeNames[node];
  }
  text += '\n';
  const std::size_t volumes = truth.courses.empty() ? 0 : truth.courses.front().size();
  for (std::size_t t = 0; t < volumes; ++t) {
    for (std::size_t node = 0; node < truth.courses.size(); ++node) {
      text += (node ? "\t" : "") + formats::shortestText(truth.courses[node][t]);
    }
    text += '\n';
  }
  return text;
}

std::string networkConnectivityText(const NetworkRunTruth& truth) {
  const std::size_t n = truth.nodeNames.size();
  std::string text = "region";
  for (const std::string& name : truth.nodeNames) text += '\t' + name;
  text += '\n';
  for (std::size_t i = 0; i < n; ++i) {
    text += truth.nodeNames[i];
    for (std::size_t j = 0; j < n; ++j) {
      text += '\t' + formats::shortestText(truth.correlation[i * n + j]);
    }
    text += '\n';
  }
  return text;
}

std::string patternSimilarityText(const study::Study& study) {
  std::string text = "region\tcondition";
  for (const design::Condition& condition : study.protocol.conditions) {
    text += '\t' + condition.name;
  }
  text += '\n';
  for (const study::Region& region : study.regions) {
    if (!region.pattern) continue;
    const study::Pattern& pattern = *region.pattern;
    const std::size_t m = pattern.conditions.size();
    for (std::size_t i = 0; i < m; ++i) {
      text += region.name + '\t' + study.protocol.conditions[pattern.conditions[i]].name;
      for (std::size_t c = 0; c < study.protocol.conditions.size(); ++c) {
        const auto j = std::find(pattern.conditions.begin(), pattern.conditions.end(), c);
        text += '\t' + (j == pattern.conditions.end()
                             ? std::string("n/a")
                             : formats::shortestText(
                                   pattern.similarity[i * m + std::size_t(j - pattern.conditions.begin())]));
      }
      text += '\n';
    }
  }
  return text;
}

void writePatternTruth(const study::Study& study, const RunFiles& files, bool keepExisting) {
  writeIfNeeded(files.patternSimilarity, patternSimilarityText(study), keepExisting);
  Json regions = Json::array();
  for (const study::Region& region : study.regions) {
    if (!region.pattern) continue;
    regions.push_back({{"Region", region.name},
                       {"VoxelStandardDeviation", region.pattern->sd},
                       {"PercentOfBaseline", region.pattern->percentOfBaseline}});
  }
  const Json sidecar = {
      {"Description",
       "Ground truth: the correlation between conditions' voxel patterns in each region "
       "with a pattern; each subject's patterns are drawn with it, and the effect maps "
       "hold them"},
      {"region", {{"Description", "The region"}}},
      {"condition", {{"Description", "The condition of the row"}}},
      {"Patterns", regions}};
  writeIfNeeded(files.patternSimilaritySidecar, sidecar.dump(2) + "\n", keepExisting);
}

void writeNetworkTruth(const study::Study& study, const RunFiles& files,
                       const NetworkRunTruth& truth, bool keepExisting) {
  writeIfNeeded(files.networkTimeseries, networkTimeseriesText(truth), keepExisting);
  writeIfNeeded(files.networkConnectivity, networkConnectivityText(truth), keepExisting);
  Json columns = Json::object();
  for (const std::string& name : truth.nodeNames) {
    columns[name] = {{"Description", "The network course added to region " + name +
                                         "'s voxels at weight 1 (its centre)"},
                     {"Units", "data units"}};
  }
  Json series = {{"Description",
                  "Ground truth: each network node's shared fluctuation, added to the run's "
                  "data voxel by voxel with the node's spatial profile"},
                 {"SamplingFrequency", 1000.0 / study.grid.trMilliseconds},
                 {"StartTime", 0.0},
                 {"Networks", networksDescription(study)}};
  series.update(columns);
  writeIfNeeded(files.networkTimeseriesSidecar, series.dump(2) + "\n", keepExisting);
  const Json connectivity = {
      {"Description",
       "Ground truth: the population correlation of the network nodes' courses in this "
       "run (the subject's own when correlations vary by subject); 0 between networks"},
      {"region", {{"Description", "The region of the row"}}},
      {"Networks", networksDescription(study)}};
  writeIfNeeded(files.networkConnectivitySidecar, connectivity.dump(2) + "\n", keepExisting);
}

}  // namespace tolvane::simulate
