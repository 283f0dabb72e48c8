// The experiment's table, shards and summary; see result_table.h.
#include "tolvane/experiment/result_table.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/errors.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/experiment/experiment_summary.h"

namespace tolvane::experiment {
namespace {

using Json = nlohmann::ordered_json;

std::string number(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.9g", value);
  return buffer;
}

std::string joined(const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) line += (i ? "\t" : "") + cells[i];
  return line + "\n";
}

std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw formats::InputError(file.string() + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ResultTable readTable(const std::filesystem::path& file) {
  std::istringstream in(readText(file));
  ResultTable table;
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::vector<std::string> cells;
    for (std::string_view cell : formats::splitTabs(line)) cells.emplace_back(cell);
    if (number == 1) {
      table.header = std::move(cells);
    } else if (cells.size() != table.header.size()) {
      formats::failAt(file, int(number), "expected " + std::to_string(table.header.size()) +
                                        " tab-separated cells, as in the header");
    } else {
      table.rows.push_back(std::move(cells));
    }
  }
  if (table.header.empty() || table.header.front() != "repetition") {
    throw formats::InputError(file.string() + ": expected an experiment's results table");
  }
  return table;
}

}  // namespace

std::vector<std::string> tableHeader(const ExperimentPlan& plan) {
  std::vector<std::string> header{"repetition", "map", "seed", "dof", "mask_voxels", "max_t",
                                  "fwhm_x_mm", "fwhm_y_mm", "fwhm_z_mm", "resels"};
  for (double p : plan.settings.clusterP) {
    for (const char* column : {"threshold_p", "voxels_above_p", "largest_cluster_p", "rft_k_p"})
      header.push_back(column + number(p));
  }
  for (const std::string& region : plan.regionNames) {
    const std::string label = analysis::bidsLabel(region);
    header.push_back("peak_t_" + label);
    for (double p : plan.settings.clusterP) header.push_back("cluster_p" + number(p) + "_" + label);
  }
  return header;
}

std::vector<std::string> tableRow(const MapRecord& record) {
  const analysis::Smoothness& smoothness = record.smoothness;
  std::vector<std::string> row{std::to_string(record.repetition), record.map,
                               std::to_string(record.seed), std::to_string(record.degreesOfFreedom),
                               std::to_string(record.maskVoxels), number(record.maxStatistic),
                               number(smoothness.fwhmMm[0]), number(smoothness.fwhmMm[1]),
                               number(smoothness.fwhmMm[2]), number(smoothness.resels)};
  for (const ClusterRecord& clusters : record.clusters) {
    row.push_back(number(clusters.threshold));
    row.push_back(std::to_string(clusters.voxelsAbove));
    row.push_back(std::to_string(clusters.largestCluster));
    row.push_back(std::to_string(clusters.randomFieldK));
  }
  for (const RegionRecord& region : record.regions) {
    row.push_back(number(region.peak));
    for (std::int64_t size : region.clusterSizes) row.push_back(std::to_string(size));
  }
  return row;
}

std::string settingsJson(const ExperimentPlan& plan) {
  const ExperimentSettings& settings = plan.settings;
  Json json;
  json["study"] = settings.study.filename().string();
  json["studySha256"] = plan.studySha256;
  json["studySeed"] = plan.studySeed;
  json["repetitions"] = settings.repetitions;
  if (settings.subjects) json["subjects"] = *settings.subjects;
  json["seeds"] = "derived per repetition from the study seed (tolvane experiment, repetition.h)";
  json["analysis"] = settings.analysis == Analysis::Group ? "group" : "first-level";
  json["contrast"] = settings.contrast;
  json["prewhitening"] = plan.prewhiten == analysis::Prewhitening::Ar1 ? "AR(1), pooled" : "none";
  json["mask"] = settings.wholeGrid ? "whole grid" : "the study's brain mask, else the whole grid";
  json["clusterFormingP"] = settings.clusterP;
  json["sides"] = 2;
  json["connectivity"] = analysis::neighbourCount(settings.connectivity);
  json["regions"] = plan.regionNames;
  return json.dump(2) + "\n";
}

void writeShard(const std::filesystem::path& folder, const ExperimentPlan& plan,
                const std::string& shard, const ResultTable& table) {
  std::filesystem::create_directories(folder);
  Json settings = Json::parse(settingsJson(plan));
  settings["shard"] = shard;
  formats::writeTextFile(folder / "experiment.json", settings.dump(2) + "\n");
  std::string text = joined(table.header);
  for (const std::vector<std::string>& row : table.rows) text += joined(row);
  formats::writeTextFile(folder / "results.tsv", text);
}

void mergeShards(const std::vector<std::filesystem::path>& shards,
                 const std::filesystem::path& output) {
  std::string settings;
  ResultTable merged;
  // Rows by repetition; a repetition's rows come from one shard, in its order.
  std::map<long, std::vector<std::vector<std::string>>> byRepetition;
  for (const std::filesystem::path& shard : shards) {
    Json json = Json::parse(readText(shard / "experiment.json"), nullptr, false);
    if (!json.is_object()) throw formats::InputError((shard / "experiment.json").string() + ": expected JSON");
    json.erase("shard");
    const std::string text = json.dump(2) + "\n";
    if (!settings.empty() && text != settings) {
      throw formats::InputError(shard.string() + ": its experiment.json differs from " +
                                shards.front().string() + "'s: not a shard of the same experiment");
    }
    settings = text;
    ResultTable table = readTable(shard / "results.tsv");
    if (!merged.header.empty() && table.header != merged.header) {
      throw formats::InputError(shard.string() + ": its results.tsv has other columns");
    }
    merged.header = table.header;
    std::map<long, std::vector<std::vector<std::string>>> own;
    for (auto& row : table.rows) own[std::stol(row.front())].push_back(std::move(row));
    for (auto& [repetition, rows] : own) {
      if (!byRepetition.emplace(repetition, std::move(rows)).second) {
        throw formats::InputError(shard.string() + ": repetition " + std::to_string(repetition) +
                                  " is in another shard as well");
      }
    }
  }
  const Json json = Json::parse(settings);
  const long repetitions = json.at("repetitions").get<long>();
  for (long r = 0; r < repetitions; ++r) {
    if (byRepetition.count(r) == 0) {
      throw formats::InputError("repetition " + std::to_string(r) +
                                " is in none of the shards given; give every shard's folder");
    }
  }
  for (auto& entry : byRepetition) {
    for (auto& row : entry.second) merged.rows.push_back(std::move(row));
  }
  std::filesystem::create_directories(output);
  formats::writeTextFile(output / "experiment.json", settings);
  std::string text = joined(merged.header);
  for (const std::vector<std::string>& row : merged.rows) text += joined(row);
  formats::writeTextFile(output / "results.tsv", text);
  formats::writeTextFile(output / "summary.json", summaryJson(merged.header, merged.rows) + "\n");
}

}  // namespace tolvane::experiment
