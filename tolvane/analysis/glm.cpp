// Running the reference analysis; see glm.h.
#include "tolvane/analysis/glm.h"
#include "tolvane/dataset/names.h"

#include <nifti1.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "design/rest_conditions.h"
#include "formats/atomic_file.h"
#include "formats/protocols/protocol_files.h"
#include "formats/staged_file_set.h"
#include "formats/text_parsing.h"
#include "numerics/special_functions.h"
#include "tolvane/analysis/series_checks.h"
#include "tolvane/analysis/confound_regressors.h"

namespace tolvane::analysis {
namespace {

constexpr std::size_t kShownOutsideEvents = 5;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string withoutNiftiExtension(const std::string& name) {
  for (std::string_view extension : {".nii.gz", ".nii"}) {
    if (endsWith(name, extension)) return name.substr(0, name.size() - extension.size());
  }
  return std::filesystem::path(name).stem().string();
}

ContrastMaps contrastMaps(const Contrast& contrast, const LeastSquaresModel& model,
                          const VoxelFits& fits, const AnalysisMask& mask) {
  const std::size_t voxels = fits.voxelCount;
  const auto p = static_cast<std::size_t>(model.columns);
  double quadratic = 0.0;  // c^T (X^T X)^-1 c
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t k = 0; k < p; ++k) {
      quadratic += contrast.weights[j] * model.covariance[j * p + k] * contrast.weights[k];
    }
  }
  const auto dof = static_cast<unsigned long>(model.degreesOfFreedom());
  constexpr float kUndefined = std::numeric_limits<float>::quiet_NaN();
  ContrastMaps maps{contrast, std::vector<float>(voxels), std::vector<float>(voxels),
                    std::vector<float>(voxels), std::vector<float>(voxels)};
  for (std::size_t v = 0; v < voxels; ++v) {
    if (!mask.contains(v)) {
      maps.effect[v] = maps.variance[v] = maps.t[v] = maps.p[v] = kUndefined;
      continue;
    }
    double effect = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
      if (contrast.weights[j] != 0.0)
        effect += contrast.weights[j] * fits.coefficients[j * voxels + v];
    }
    const double variance = fits.residualVariance[v] * quadratic;
    maps.effect[v] = static_cast<float>(effect);
    maps.variance[v] = static_cast<float>(variance);
    if (variance > 0.0) {
      const auto t = static_cast<float>(effect / std::sqrt(variance));
      maps.t[v] = t;
      maps.p[v] = t_to_p(t, dof);
    } else {
      maps.t[v] = kUndefined;
      maps.p[v] = kUndefined;
    }
  }
  return maps;
}

struct MapKind {
  const char* stat;
  std::vector<float> ContrastMaps::*values;
  int intent;
  const char* description;
};

const MapKind kMapKinds[] = {
    {"effect", &ContrastMaps::effect, NIFTI_INTENT_ESTIMATE, "contrast estimate c'beta"},
    {"variance", &ContrastMaps::variance, NIFTI_INTENT_NONE,
     "variance of the contrast estimate, sigma^2 c'(X'X)^-1 c"},
    {"t", &ContrastMaps::t, NIFTI_INTENT_TTEST, "t statistic; NaN where the fit is exact"},
    {"p", &ContrastMaps::p, NIFTI_INTENT_PVAL,
     "two-sided p value of the t statistic; NaN where the fit is exact"},
};

nlohmann::ordered_json sidecar(const ContrastMaps& maps, const MapKind& kind,
                               const std::vector<std::string>& columns, const GlmRequest& request,
                               const GlmSummary& summary) {
  nlohmann::ordered_json weights = nlohmann::ordered_json::object();
  for (std::size_t j = 0; j < columns.size(); ++j) {
    if (maps.contrast.weights[j] != 0.0) weights[columns[j]] = maps.contrast.weights[j];
  }
  nlohmann::ordered_json json;
  json["Contrast"] = maps.contrast.expression;
  json["ContrastWeights"] = weights;
  json["Statistic"] = kind.stat;
  json["Description"] = kind.description;
  json["DegreesOfFreedom"] = summary.degreesOfFreedom;
  if (std::string_view(kind.stat) == "p") json["Tails"] = 2;
  json["Sources"] = {request.bold.filename().string(), summary.eventsFile.filename().string()};
  json["HRF"] = request.hrf;
  json["HighPassCutoffSeconds"] = request.highpassSeconds;
  json["Prewhitening"] = request.prewhiten == Prewhitening::Ar1 ? "AR(1), pooled" : "none";
  if (request.prewhiten == Prewhitening::Ar1) json["AR1Coefficient"] = summary.ar1;
  json["Mask"] = summary.mask.source;
  json["MaskVoxels"] = summary.mask.voxels;
  const Smoothness& smoothness = summary.smoothness;
  json["SmoothnessFWHMmm"] = {smoothness.fwhmMm[0], smoothness.fwhmMm[1], smoothness.fwhmMm[2]};
  json["Resels"] = smoothness.resels;
  json["SearchVolumeVoxels"] = smoothness.voxels;
  return json;
}

// The events without their rest conditions; a condition that a contrast names is
// modelled, so kept.
design::Protocol withoutRest(const design::Protocol& events, const GlmRequest& request,
                             GlmSummary& summary) {
  std::vector<std::string> names;
  for (const design::Condition& condition : events.conditions) names.push_back(condition.name);
  std::vector<bool> named(names.size(), false);
  for (const std::string& expression : request.contrasts) {
    const Contrast contrast = parseContrast(expression, names, names.size(), summary.eventsFile);
    for (std::size_t c = 0; c < names.size(); ++c)
      named[c] = named[c] || contrast.weights[c] != 0.0;
  }
  if (request.rest) {
    for (const std::string& name : *request.rest) {
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        throw formats::InputError("--rest " + formats::inQuotes(name) +
                                  ": expected a condition of " + summary.eventsFile.string());
      }
    }
  }
  const std::vector<bool> rest = design::restConditions(events, request.rest, named);
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (rest[c]) summary.restConditions.push_back(names[c]);
  }
  design::Protocol kept = design::withoutConditions(events, rest);
  if (kept.conditions.empty()) {
    throw formats::InputError(summary.eventsFile.string() +
                              ": every condition is rest, so there is nothing to model; name "
                              "the conditions to leave out with --rest");
  }
  return kept;
}

}  // namespace

std::string outputPrefix(const std::filesystem::path& bold) {
  std::string stem = withoutNiftiExtension(bold.filename().string());
  if (endsWith(stem, "_bold")) stem.resize(stem.size() - 5);
  return stem;
}

std::filesystem::path eventsFileOf(const std::filesystem::path& bold) {
  const std::string stem = withoutNiftiExtension(bold.filename().string());
  if (!endsWith(stem, "_bold")) {
    throw formats::InputError(bold.string() +
                              ": no events file given, and the name does not "
                              "end in _bold.nii[.gz], so it has no BIDS _events.tsv to use");
  }
  return bold.parent_path() / (stem.substr(0, stem.size() - 5) + "_events.tsv");
}

std::vector<Contrast> glmContrasts(const GlmDesign& design,
                                   const std::vector<std::string>& expressions,
                                   const std::filesystem::path& eventsFile) {
  const std::vector<std::string> conditions(
      design.columnNames.begin(),
      design.columnNames.begin() + static_cast<long>(design.conditionCount));
  std::vector<Contrast> contrasts;
  for (std::size_t c = 0; c < conditions.size(); ++c) {
    contrasts.push_back(conditionContrast(conditions, c, design.columnCount()));
  }
  const auto requireLabel = [](const Contrast& contrast) {
    if (contrast.label.empty()) {
      throw formats::InputError("contrast " + formats::inQuotes(contrast.expression) +
                                ": expected letters or digits to name its maps, found none");
    }
  };
  std::map<std::string, const Contrast*> byLabel;
  for (const Contrast& contrast : contrasts) {
    requireLabel(contrast);
    byLabel.emplace(contrast.label, &contrast);
  }
  std::vector<Contrast> asked;
  asked.reserve(expressions.size());
  for (const std::string& expression : expressions) {
    Contrast contrast = parseContrast(expression, conditions, design.columnCount(), eventsFile);
    requireLabel(contrast);
    const auto existing = byLabel.find(contrast.label);
    // A contrast asked for twice, or a condition asked for by name, writes its maps once.
    if (existing != byLabel.end() && existing->second->weights == contrast.weights) continue;
    if (existing != byLabel.end()) {
      throw formats::InputError("contrasts " + formats::inQuotes(existing->second->expression) +
                                " and " + formats::inQuotes(contrast.expression) +
                                " would both write maps labelled " + contrast.label);
    }
    asked.push_back(std::move(contrast));
    byLabel.emplace(asked.back().label, &asked.back());
  }
  contrasts.insert(contrasts.end(), asked.begin(), asked.end());
  return contrasts;
}

GlmFit fitGlm(const formats::FloatSeries& bold, const GlmDesign& design,
              const std::vector<Contrast>& contrasts, Prewhitening prewhiten,
              const std::filesystem::path& eventsFile, const AnalysisMask& mask) {
  const int columns = static_cast<int>(design.columnCount());
  const auto model = [&](double ar1) {
    auto made = makeLeastSquaresModel(design.values, design.volumes, columns,
                                      design.columnCount() - 1, ar1);
    if (!made) {
      throw formats::InputError(
          eventsFile.string() +
          ": the design is singular: a condition's predictor is (nearly) "
          "a combination of the others, of the high-pass cosines, the confounds or the "
          "constant");
    }
    return std::move(*made);
  };
  const std::size_t voxels = bold.geometry.voxelCount();
  GlmFit fit{model(0.0), {}, {}};
  VoxelFits fits = fitVoxels(fit.model, bold.values.data(), voxels, prewhiten == Prewhitening::Ar1);
  if (prewhiten == Prewhitening::Ar1) {
    fit.model = model(pooledAr1(fit.model, fits, mask.inside));
    fits = fitVoxels(fit.model, bold.values.data(), voxels, false);
  }
  for (const Contrast& contrast : contrasts)
    fit.maps.push_back(contrastMaps(contrast, fit.model, fits, mask));
  fit.smoothness = residualSmoothness(fit.model, fits, bold, mask);
  return fit;
}

GlmSummary runGlm(const GlmRequest& request, const Progress& progress) {
  const ResponseBasis basis = parseResponseBasis(request.hrf);
  if (!(request.highpassSeconds >= 0.0) || !std::isfinite(request.highpassSeconds)) {
    throw formats::InputError("high-pass cutoff: expected a number of seconds >= 0 (0: none)");
  }
  GlmSummary summary;
  summary.eventsFile = request.events ? *request.events : eventsFileOf(request.bold);

  // What can be checked without the series is checked first: the output folder, and
  // the contrasts against the events' conditions, so that a typing mistake costs no read.
  formats::StagedFileSet staged =
      formats::StagedFileSet::beforeWork(request.outputFolder, "--output");
  // Rest conditions leave the design; the contrasts are checked against every condition.
  const design::Protocol events = formats::readProtocolFile(summary.eventsFile);
  const design::Protocol protocol = withoutRest(events, request, summary);

  auto start = std::chrono::steady_clock::now();
  progress("reading " + request.bold.string());
  const formats::FloatSeries bold = formats::readFloatSeries(request.bold);
  summary.readSeconds = secondsSince(start);
  summary.volumes = static_cast<int>(bold.volumes);
  summary.trSeconds = bold.trSeconds;
  summary.warnings = formats::intervalsOutsideTheRun(protocol, summary.eventsFile, summary.volumes,
                                                     bold.trSeconds * 1000.0, kShownOutsideEvents);
  for (std::string& warning : checkSeriesValues(bold, request.bold)) {
    summary.warnings.push_back(std::move(warning));
  }

  start = std::chrono::steady_clock::now();
  progress("fitting " + std::to_string(bold.geometry.voxelCount()) + " voxels");
  GlmDesign design = buildGlmDesign(protocol, summary.eventsFile, summary.volumes,
                                    bold.trSeconds, request.highpassSeconds, basis);
  if (request.confounds) {
    addConfounds(design,
                 readConfoundColumns(*request.confounds, request.confoundColumns, summary.volumes),
                 *request.confounds);
  }
  if (const auto warning = collinearityWarning(design)) {
    summary.warnings.push_back(summary.eventsFile.string() + ": " + *warning);
  }
  const std::vector<Contrast> contrasts =
      glmContrasts(design, request.contrasts, summary.eventsFile);
  summary.mask = resolveMask(request.mask, truthMaskOfBold(request.bold), bold.geometry);
  const GlmFit fit =
      fitGlm(bold, design, contrasts, request.prewhiten, summary.eventsFile, summary.mask);
  summary.fitSeconds = secondsSince(start);
  summary.columnNames = design.columnNames;
  summary.degreesOfFreedom = fit.model.degreesOfFreedom();
  summary.ar1 = fit.model.ar1;
  summary.smoothness = fit.smoothness;

  // The set is written whole into the staging folder and only then moved into place, so
  // a failure (a full disk) leaves the folder's previous set, or nothing.
  start = std::chrono::steady_clock::now();
  const std::string prefix = outputPrefix(request.bold);
  try {
    for (const ContrastMaps& maps : fit.maps) {
      for (const MapKind& kind : kMapKinds) {
        const std::string name = dataset::statMapStem(prefix, maps.contrast.label, kind.stat);
        const std::filesystem::path image = staged.stagedPath(name + dataset::kMapExtension);
        progress("writing " + (request.outputFolder / image.filename()).string());
        const double parameter = kind.intent == NIFTI_INTENT_TTEST ? summary.degreesOfFreedom : 0.0;
        formats::writeFloatMapNifti(image, bold.geometry, (maps.*kind.values).data(),
                                    {kind.intent, parameter}, request.gzipLevel);
        formats::writeTextFile(
            staged.stagedPath(name + ".json"),
            sidecar(maps, kind, design.columnNames, request, summary).dump(2) + "\n");
      }
    }
    formats::writeTextFile(staged.stagedPath(prefix + "_design.tsv"), designTable(design));
  } catch (const formats::OutputError& error) {
    throw formats::OutputError(std::string(error.what()) + "; no map was moved into " +
                               request.outputFolder.string() +
                               ", which keeps the maps it held before");
  }
  summary.files = staged.commit();
  summary.writeSeconds = secondsSince(start);
  return summary;
}

}  // namespace tolvane::analysis
