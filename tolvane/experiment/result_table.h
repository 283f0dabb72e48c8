// The experiment's files: the settings, the table of results (one row per map: a run's
// at the first level, the repetition's at the group level) and the summary computed
// from the table alone.
//
//   DIR/experiment.json   the settings (and, for a shard, which one)
//   DIR/results.tsv       the rows, in the order of repetitions and maps
//   DIR/summary.json      the rates with their intervals (complete experiments only)
//
// Columns: repetition, map, seed, dof, mask_voxels, max_t, fwhm_x_mm, fwhm_y_mm,
// fwhm_z_mm, resels; per cluster-forming p (as P, such as 0.01): threshold_pP,
// voxels_above_pP, largest_cluster_pP, rft_k_pP; per region R with a true contrast:
// peak_t_R, then cluster_pP_R per forming p. Numbers are written with nine
// significant digits (%.9g), which a reader gives back exactly as they are written, so
// the summary of a merged table is the same, byte for byte, however it was split.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/experiment/repetition.h"

namespace tolvane::experiment {

struct ResultTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;  // as written
};

std::vector<std::string> tableHeader(const ExperimentPlan& plan);
std::vector<std::string> tableRow(const MapRecord& record);

// The settings as JSON text (without the shard); the same for every shard of one
// experiment.
std::string settingsJson(const ExperimentPlan& plan);

// Writes DIR/experiment.json (with the shard, "K/N") and DIR/results.tsv of a shard.
void writeShard(const std::filesystem::path& folder, const ExperimentPlan& plan,
                const std::string& shard, const ResultTable& table);

// Combines the shards' folders into `output` (experiment.json, results.tsv and
// summary.json): every shard must have the same settings, and together the rows of
// every repetition exactly once. Throws InputError naming what is missing or differs.
void mergeShards(const std::vector<std::filesystem::path>& shards,
                 const std::filesystem::path& output);

}  // namespace tolvane::experiment
