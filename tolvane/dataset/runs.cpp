// Finding a dataset's runs and reading the truth's tables; see truth_files.h.
#include "tolvane/dataset/runs.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "formats/text_input.h"
#include "formats/text_parsing.h"
#include "tolvane/dataset/promised_runs.h"

namespace tolvane::dataset {
namespace {

// A predictors table holds one line per volume, a region table one per region.
constexpr formats::TextLimits kTableLimits{64u << 20, 1u << 16};

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::filesystem::path> sortedEntries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> entries;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string boldPrefix(const std::string& name) {
  for (const std::string suffix : kBoldSuffixes) {
    if (endsWith(name, suffix)) return name.substr(0, name.size() - suffix.size());
  }
  return {};
}

bool selected(const DatasetRun& run, const std::string& selection) {
  const auto slash = selection.find('/');
  if (selection.substr(0, slash) != run.subject) return false;
  if (slash == std::string::npos) return true;
  const std::string entity = "_" + selection.substr(slash + 1);
  return run.prefix.find(entity + "_") != std::string::npos || endsWith(run.prefix, entity);
}

void requireFile(const std::filesystem::path& file, const DatasetRun& run) {
  if (!std::filesystem::is_regular_file(file)) {
    throw formats::InputError(file.string() + ": expected the truth of " + run.bold.string() +
                              " as tolvane simulate writes it, found no such file");
  }
}

std::vector<EffectMapFile> effectMapsOf(const std::filesystem::path& truthFolder,
                                        const std::string& prefix) {
  std::vector<EffectMapFile> maps;
  for (const std::filesystem::path& entry : sortedEntries(truthFolder)) {
    const std::string name = entry.filename().string();
    const std::string start = prefix + "_desc-", end = std::string("_effect") + kMapExtension;
    if (!startsWith(name, start) || !endsWith(name, end)) continue;
    std::string condition = name.substr(start.size(), name.size() - start.size() - end.size());
    std::filesystem::path sidecar = entry;
    sidecar.replace_filename(name.substr(0, name.size() - std::string(kMapExtension).size()) +
                             ".json");
    std::ifstream in(sidecar);
    const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_object() && json.contains("Condition") && json["Condition"].is_string()) {
      condition = json["Condition"].get<std::string>();
    }
    maps.push_back({condition, entry});
  }
  return maps;
}

std::vector<std::string> tabFields(const std::string& line) {
  std::vector<std::string> fields;
  for (std::string_view field : formats::splitTabs(line)) fields.emplace_back(field);
  return fields;
}

}  // namespace

namespace {

void requirePromisedRuns(const std::filesystem::path& dataset,
                         const std::vector<DatasetRun>& runs) {
  std::vector<std::pair<std::string, int>> found;
  for (const DatasetRun& run : runs) {
    const std::size_t at = run.prefix.rfind("_run-");
    const auto number = at == std::string::npos
                            ? std::nullopt
                            : formats::parseInt(std::string_view(run.prefix).substr(at + 5));
    if (number) found.emplace_back(run.subject, static_cast<int>(*number));
  }
  const std::vector<std::string> missing = missingPromisedRuns(dataset, found);
  if (missing.empty()) return;
  constexpr std::size_t kShown = 6;
  std::string list;
  for (std::size_t i = 0; i < std::min(missing.size(), kShown); ++i) {
    list += (i ? ", " : "") + missing[i];
  }
  if (missing.size() > kShown) list += " and " + std::to_string(missing.size() - kShown) + " more";
  throw formats::InputError(
      dataset.string() + ": expected every run that its study promises (" +
      DatasetFolders(dataset).identity().string() + "), found " + std::to_string(runs.size()) +
      " of " + std::to_string(runs.size() + missing.size()) + "; missing " + list +
      ". Run the same simulate again to finish the study, or give --allow-incomplete to "
      "analyse the runs there are");
}

}  // namespace

std::vector<DatasetRun> findRuns(const std::filesystem::path& dataset,
                                 const std::vector<std::string>& selection,
                                 bool allowIncomplete) {
  const DatasetFolders folders(dataset);
  std::vector<DatasetRun> runs;
  for (const std::filesystem::path& subject : sortedEntries(dataset)) {
    const std::string label = subject.filename().string();
    if (!startsWith(label, "sub-") || !std::filesystem::is_directory(subject)) continue;
    for (const std::filesystem::path& entry : sortedEntries(subject / "func")) {
      const std::string prefix = boldPrefix(entry.filename().string());
      if (prefix.empty()) continue;
      DatasetRun run;
      static_cast<RunFiles&>(run) = runFiles(folders, label, prefix);
      run.bold = entry;
      run.effectMaps = effectMapsOf(run.truthFolder, prefix);
      runs.push_back(std::move(run));
    }
  }
  if (runs.empty()) {
    throw formats::InputError(dataset.string() +
                              ": expected a BIDS dataset with sub-*/func/*_bold.nii[.gz] "
                              "series, found none");
  }
  if (selection.empty() && !allowIncomplete) requirePromisedRuns(dataset, runs);
  if (!selection.empty()) {
    std::vector<DatasetRun> chosen;
    for (const std::string& wanted : selection) {
      const auto before = chosen.size();
      for (const DatasetRun& run : runs) {
        if (selected(run, wanted)) chosen.push_back(run);
      }
      if (chosen.size() == before) {
        throw formats::InputError("--run " + formats::inQuotes(wanted) + ": expected sub-XX or " +
                                  "sub-XX/run-N naming a run of " + dataset.string() +
                                  ", found none");
      }
    }
    runs = std::move(chosen);
  }
  for (const DatasetRun& run : runs) {
    for (const auto& file : {run.events, run.labels, run.regionTable, run.predictors}) {
      requireFile(file, run);
    }
  }
  return runs;
}

std::map<long, std::string> readRegionNames(const std::filesystem::path& table) {
  std::ifstream in = formats::openTextFile(table, kTableLimits);
  formats::TextLineReader reader(in, table, kTableLimits);
  formats::TextLine line;
  if (!reader.next(line)) {
    throw formats::InputError(table.string() + ": expected a header line, found an empty file");
  }
  const std::vector<std::string> header = tabFields(line.text);
  const auto column = [&](const char* name) {
    const auto found = std::find(header.begin(), header.end(), name);
    if (found == header.end()) {
      throw formats::InputError(table.string() + ":1: expected a column " + name);
    }
    return static_cast<std::size_t>(found - header.begin());
  };
  const std::size_t indexColumn = column("index"), nameColumn = column("name");
  std::map<long, std::string> names;
  while (reader.next(line)) {
    if (formats::trim(line.text).empty()) continue;
    const std::vector<std::string> fields = tabFields(line.text);
    const auto index =
        fields.size() > indexColumn ? formats::parseInt(fields[indexColumn]) : std::nullopt;
    if (!index || fields.size() <= nameColumn) {
      formats::failAt(table, line.number, "expected an integer index and a name");
    }
    names[*index] = fields[nameColumn];
  }
  return names;
}

NumberTable readNumberTable(const std::filesystem::path& file) {
  std::ifstream in = formats::openTextFile(file, kTableLimits);
  formats::TextLineReader reader(in, file, kTableLimits);
  formats::TextLine line;
  NumberTable table;
  if (!reader.next(line)) {
    throw formats::InputError(file.string() + ": expected a header line, found an empty file");
  }
  table.names = tabFields(line.text);
  table.columns.resize(table.names.size());
  while (reader.next(line)) {
    if (formats::trim(line.text).empty()) continue;
    const std::vector<std::string> fields = tabFields(line.text);
    if (fields.size() != table.names.size()) {
      formats::failAt(file, line.number,
                      "expected " + std::to_string(table.names.size()) +
                          " tab-separated values, found " + std::to_string(fields.size()));
    }
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const auto value = formats::parseFiniteNumber(fields[c]);
      if (!value) {
        formats::failAt(file, line.number,
                        "expected a number in column " + table.names[c] + ", found " +
                            formats::inQuotes(fields[c]));
      }
      table.columns[c].push_back(*value);
    }
  }
  return table;
}

}  // namespace tolvane::dataset
