// Combining a dataset's runs into subject and group maps; see group_command.h.
#include "tolvane/group/group_command.h"

#include <nifti1.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/staged_file_set.h"
#include "formats/text_input.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/analysis/evaluation_json.h"
#include "tolvane/dataset/analysis_files.h"
#include "tolvane/dataset/names.h"
#include "tolvane/group/first_level.h"
#include "tolvane/group/group_statistics.h"
#include "tolvane/version.h"

namespace tolvane::group {
namespace {

constexpr formats::TextLimits kTableLimits{16u << 20, 1u << 16};

struct MapSet {
  std::filesystem::path effect, variance, t, p;
};

// The model and sources that a map's sidecar records.
struct Provenance {
  std::string contrast, level, model;
  std::vector<std::string> sources;
};

// Writes the maps into `staged` under their names relative to its folder.
void writeMaps(const MapSet& files, const StatisticMaps& maps, const formats::MapGeometry& geometry,
               const Provenance& provenance, int gzipLevel, formats::StagedFileSet& staged) {
  struct Kind {
    const std::filesystem::path* file;
    const std::vector<float>* values;
    const char* stat;
    int intent;
  };
  const Kind kinds[] = {{&files.effect, &maps.effect, "effect", NIFTI_INTENT_ESTIMATE},
                        {&files.variance, &maps.variance, "variance", NIFTI_INTENT_NONE},
                        {&files.t, &maps.t, "t", NIFTI_INTENT_TTEST},
                        {&files.p, &maps.p, "p", NIFTI_INTENT_PVAL}};
  const auto inSet = [&](const std::filesystem::path& file) {
    return staged.stagedPath(file.lexically_relative(staged.folder()).generic_string());
  };
  for (const Kind& kind : kinds) {
    if (kind.values->empty()) continue;
    const double parameter = kind.intent == NIFTI_INTENT_TTEST ? maps.degreesOfFreedom : 0.0;
    formats::writeFloatMapNifti(inSet(*kind.file), geometry, kind.values->data(),
                                {kind.intent, parameter}, gzipLevel);
    nlohmann::ordered_json sidecar;
    sidecar["Contrast"] = provenance.contrast;
    sidecar["Statistic"] = kind.stat;
    sidecar["Level"] = provenance.level;
    sidecar["Model"] = provenance.model;
    sidecar["DegreesOfFreedom"] = maps.degreesOfFreedom;
    if (std::string_view(kind.stat) == "p") sidecar["Tails"] = 2;
    sidecar["Sources"] = provenance.sources;
    analysis::writeJsonFile(sidecar, inSet(dataset::sidecarOf(*kind.file)));
  }
}

formats::ScalarVolume readOnGrid(const std::filesystem::path& file,
                                 const std::optional<formats::MapGeometry>& grid) {
  formats::ScalarVolume volume = formats::readScalarVolume(file);
  if (grid && volume.geometry.dims != grid->dims) {
    throw formats::InputError(file.string() + ": expected the grid of the dataset's other maps (" +
                              formats::describeGeometry(*grid) + "), found " +
                              formats::describeGeometry(volume.geometry));
  }
  return volume;
}

void writeDescription(formats::StagedFileSet& staged) {
  nlohmann::ordered_json description;
  description["Name"] = "tolvane group analysis";
  description["BIDSVersion"] = "1.8.0";
  description["DatasetType"] = "derivative";
  description["GeneratedBy"] = {{{"Name", "tolvane group"}, {"Version", kTolvaneVersion}}};
  analysis::writeJsonFile(description, staged.stagedPath("dataset_description.json"));
}

// The subjects' effects combined by the second-level model, written with their sidecars;
// returns the model's degrees of freedom.
int writeSecondLevel(const GroupRequest& request, const std::string& expression,
                     const std::vector<std::string>& subjects,
                     const std::vector<std::vector<double>>& subjectEffects,
                     const std::vector<double>& covariate, const formats::MapGeometry& grid,
                     const GroupSummary& summary, formats::StagedFileSet& staged) {
  const std::string label = analysis::bidsLabel(expression);
  const bool withCovariate = bool(request.covariateTable);
  const std::vector<StatisticMaps> group = secondLevel(subjectEffects, covariate);
  std::vector<std::string> sources;
  for (const std::string& subject : subjects) {
    sources.push_back(dataset::subjectMap(summary.output, subject, label, "effect")
                          .lexically_relative(summary.output)
                          .string());
  }
  const std::string model = withCovariate
                                ? "ordinary least squares on [1, centred " +
                                      request.covariateColumn + "] of the subjects' effects"
                                : "one-sample t test of the subjects' effects";
  for (std::size_t m = 0; m < group.size(); ++m) {
    const std::string covariateName = m == 0 ? "" : request.covariateColumn;
    const std::string covariateLabel = analysis::bidsLabel(covariateName);
    const MapSet files{dataset::groupMap(summary.output, label, covariateLabel, "effect"),
                       dataset::groupMap(summary.output, label, covariateLabel, "variance"),
                       dataset::groupMap(summary.output, label, covariateLabel, "t"),
                       dataset::groupMap(summary.output, label, covariateLabel, "p")};
    Provenance provenance{expression, m == 0 ? "group mean" : "group covariate " + covariateName,
                          model, sources};
    writeMaps(files, group[m], grid, provenance, request.gzipLevel, staged);
  }
  return group.front().degreesOfFreedom;
}

}  // namespace

std::vector<double> readCovariate(const std::filesystem::path& table, const std::string& column,
                                  const std::vector<std::string>& subjects) {
  std::ifstream in = formats::openTextFile(table, kTableLimits);
  formats::TextLineReader reader(in, table, kTableLimits);
  formats::TextLine line;
  if (!reader.next(line)) {
    throw formats::InputError(table.string() + ": expected a header line, found an empty file");
  }
  const std::vector<std::string_view> header = formats::splitTabs(line.text);
  std::vector<std::string> names(header.begin(), header.end());
  const auto find = [&](const std::string& name) {
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      throw formats::InputError(table.string() + ":1: expected a column " +
                                formats::inQuotes(name) + " in the header");
    }
    return static_cast<std::size_t>(found - names.begin());
  };
  const std::size_t idColumn = find("participant_id"), valueColumn = find(column);
  std::map<std::string, double> values;
  while (reader.next(line)) {
    if (formats::trim(line.text).empty()) continue;
    const std::vector<std::string_view> fields = formats::splitTabs(line.text);
    const auto value = fields.size() > valueColumn ? formats::parseFiniteNumber(fields[valueColumn])
                                                   : std::nullopt;
    if (fields.size() <= idColumn || !value) {
      formats::failAt(table, line.number,
                      "expected a participant_id and a number in column " + column);
    }
    values[std::string(fields[idColumn])] = *value;
  }
  std::vector<double> covariate;
  for (const std::string& subject : subjects) {
    const auto found = values.find(subject);
    if (found == values.end()) {
      throw formats::InputError(table.string() + ": expected a row for " + subject +
                                " (participant_id), found none");
    }
    covariate.push_back(found->second);
  }
  return covariate;
}

// The covariate of each subject, or none; InputError when there are too few subjects
// for the model or the covariate is the same for all.
std::vector<double> checkedCovariate(const GroupRequest& request,
                                     const std::vector<std::string>& subjects) {
  const bool withCovariate = bool(request.covariateTable);
  const std::size_t columns = withCovariate ? 2 : 1;
  if (subjects.size() <= columns) {
    throw formats::InputError(request.dataset.string() + ": expected more than " +
                              std::to_string(columns) + " subjects for a group model with " +
                              (withCovariate ? "a covariate" : "a mean alone") + ", found " +
                              std::to_string(subjects.size()));
  }
  std::vector<double> covariate;
  if (withCovariate) {
    covariate = readCovariate(*request.covariateTable, request.covariateColumn, subjects);
    if (std::all_of(covariate.begin(), covariate.end(),
                    [&](double c) { return c == covariate.front(); })) {
      throw formats::InputError(request.covariateTable->string() + ": column " +
                                request.covariateColumn +
                                " has the same value for every subject, so it explains nothing");
    }
  }
  return covariate;
}

GroupSummary runGroup(const GroupRequest& request, const analysis::Progress& progress) {
  if (request.contrasts.empty()) {
    throw formats::InputError("expected at least one --contrast, such as \"Task - Rest\"");
  }
  GroupSummary summary;
  summary.output = request.output ? *request.output : dataset::defaultGroupRoot(request.dataset);
  const std::filesystem::path glmRoot =
      request.glmRoot ? *request.glmRoot : dataset::defaultGlmRoot(request.dataset);
  const std::vector<dataset::DatasetRun> runs =
      dataset::findRuns(request.dataset, {}, request.allowIncomplete);
  std::map<std::string, std::vector<const dataset::DatasetRun*>> bySubject;
  for (const dataset::DatasetRun& run : runs) bySubject[run.subject].push_back(&run);
  std::vector<std::string> subjects;
  for (const auto& entry : bySubject) subjects.push_back(entry.first);
  const std::vector<double> covariate = checkedCovariate(request, subjects);
  // Every map of every contrast is one set, moved into place when all are written: a
  // failure (a full disk, a kill) leaves the folder's previous set, or nothing.
  formats::StagedFileSet staged = formats::StagedFileSet::beforeWork(summary.output, "--output");
  for (const std::string& expression : request.contrasts) {
    if (analysis::bidsLabel(expression).empty()) {
      throw formats::InputError("contrast " + formats::inQuotes(expression) +
                                ": expected letters or digits to name its maps, found none");
    }
  }
  summary.subjects = int(subjects.size());
  summary.runs = int(runs.size());

  FirstLevelRequest firstLevel;
  firstLevel.glmRoot = glmRoot;
  firstLevel.userFolder = bool(request.glmRoot);
  firstLevel.mask = request.mask;
  const auto runRequest = [&](const dataset::DatasetRun& run, const std::string& expression) {
    FirstLevelRequest asked = firstLevel;
    asked.contrast = expression;
    chooseNoiseModel(asked, run, request.prewhiten);
    return asked;
  };
  // Every run's maps are checked before any is fitted, so that a mismatch costs no fit.
  for (const std::string& expression : request.contrasts) {
    for (const dataset::DatasetRun& run : runs) checkFirstLevelMaps(run, runRequest(run, expression));
  }
  for (const std::string& expression : request.contrasts) {
    const std::string label = analysis::bidsLabel(expression);
    std::optional<formats::MapGeometry> grid;
    std::vector<std::vector<double>> subjectEffects;
    for (const std::string& subject : subjects) {
      std::vector<RunEstimate> estimates;
      Provenance provenance{
          expression, "subject", "fixed effects across runs, inverse-variance weights", {}};
      for (const dataset::DatasetRun* run : bySubject[subject]) {
        const FirstLevelMaps maps = firstLevelMaps(*run, runRequest(*run, expression), progress);
        (maps.fitted ? summary.firstLevelFitted : summary.firstLevelReused) += 1;
        formats::ScalarVolume effect = readOnGrid(maps.effect, grid);
        grid = effect.geometry;
        formats::ScalarVolume variance = readOnGrid(maps.variance, grid);
        estimates.push_back(
            {std::move(effect.values), std::move(variance.values), maps.degreesOfFreedom});
        provenance.sources.push_back(maps.effect.filename().string());
        provenance.sources.push_back(maps.variance.filename().string());
      }
      const StatisticMaps combined = fixedEffects(estimates);
      const MapSet files{dataset::subjectMap(summary.output, subject, label, "effect"),
                         dataset::subjectMap(summary.output, subject, label, "variance"),
                         dataset::subjectMap(summary.output, subject, label, "t"),
                         {}};
      progress("writing " + subject + "'s maps of " + expression);
      writeMaps(files, combined, *grid, provenance, request.gzipLevel, staged);
      subjectEffects.emplace_back(combined.effect.begin(), combined.effect.end());
    }
    summary.degreesOfFreedom = writeSecondLevel(request, expression, subjects, subjectEffects,
                                                covariate, *grid, summary, staged);
  }
  writeDescription(staged);
  summary.files = staged.commit();
  return summary;
}

}  // namespace tolvane::group
