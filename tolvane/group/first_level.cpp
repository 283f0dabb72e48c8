// The first-level maps of a run, reused or fitted; see first_level.h.
#include "tolvane/group/first_level.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/analysis/evaluation_text.h"
#include "tolvane/dataset/analysis_files.h"
#include "tolvane/dataset/names.h"
#include "tolvane/dataset/study_noise.h"

namespace tolvane::group {
namespace {

nlohmann::json readJson(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return nlohmann::json::object();
  nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
}

// The mask's source that the request would resolve to, without reading it.
std::string askedMaskSource(const analysis::MaskChoice& choice,
                            const std::filesystem::path& truthMask) {
  if (choice.wholeGrid) return analysis::AnalysisMask::kWholeGrid;
  if (choice.image) return choice.image->filename().string();
  if (std::filesystem::is_regular_file(truthMask)) return truthMask.filename().string();
  return analysis::AnalysisMask::kWholeGrid;
}

std::string glmCommand(const dataset::DatasetRun& run, const FirstLevelRequest& request,
                       const std::string& folder) {
  std::string command = "tolvane glm " + run.bold.string() + " --output " + folder +
                        " --contrast " + formats::inQuotes(request.contrast);
  if (request.prewhiten == analysis::Prewhitening::Ar1) command += " --prewhiten ar1";
  if (request.mask.wholeGrid) command += " --no-mask";
  if (request.mask.image) command += " --mask " + request.mask.image->string();
  return command;
}

}  // namespace

const char* prewhiteningRecord(analysis::Prewhitening prewhiten) {
  return prewhiten == analysis::Prewhitening::Ar1 ? "AR(1), pooled" : "none";
}

std::vector<std::string> modelDifferences(const std::filesystem::path& tMap,
                                          const dataset::DatasetRun& run,
                                          const FirstLevelRequest& request) {
  const nlohmann::json sidecar = readJson(dataset::sidecarOf(tMap));
  std::vector<std::string> differences;
  const std::string prewhitening = sidecar.value("Prewhitening", std::string("(none recorded)"));
  if (prewhitening != prewhiteningRecord(request.prewhiten)) {
    differences.push_back("prewhitening: the maps were fitted with " +
                          formats::inQuotes(prewhitening) + ", the evaluation asks for " +
                          formats::inQuotes(prewhiteningRecord(request.prewhiten)) + " (" +
                          request.prewhitenReason + ")");
  }
  const double cutoff = sidecar.value("HighPassCutoffSeconds", -1.0);
  if (cutoff != analysis::kDefaultHighpassSeconds) {
    differences.push_back("high-pass cutoff: the maps have " +
                          (cutoff < 0.0 ? std::string("none recorded") : analysis::significant(cutoff, 4) + " s") +
                          ", the analysis uses " +
                          analysis::significant(analysis::kDefaultHighpassSeconds, 4) + " s");
  }
  // Maps from before masks were recorded were fitted on the whole grid.
  const std::string mask = sidecar.value("Mask", std::string(analysis::AnalysisMask::kWholeGrid));
  const std::string asked = askedMaskSource(request.mask, run.brainMask);
  if (mask != asked) {
    differences.push_back("mask: the maps were fitted inside " + formats::inQuotes(mask) +
                          ", the analysis asks for " + formats::inQuotes(asked) +
                          " (--mask IMAGE or --no-mask choose another)");
  }
  return differences;
}

void chooseNoiseModel(FirstLevelRequest& request, const dataset::DatasetRun& run,
                      std::optional<analysis::Prewhitening> asked) {
  if (asked) {
    request.prewhiten = *asked;
    request.prewhitenReason = "as --prewhiten asks";
  } else if (dataset::studyNoiseIsAutocorrelated(run)) {
    request.prewhiten = analysis::Prewhitening::Ar1;
    request.prewhitenReason = "the default for this study's autocorrelated noise; --prewhiten none "
                              "asks for none";
  } else {
    request.prewhiten = analysis::Prewhitening::None;
    request.prewhitenReason = "the default for this study's white noise; --prewhiten ar1 asks "
                              "for prewhitening";
  }
}

namespace {

FirstLevelMaps mapFiles(const dataset::DatasetRun& run, const FirstLevelRequest& request) {
  const std::string label = analysis::bidsLabel(request.contrast);
  return {dataset::runMap(request.glmRoot, run, label, "effect"),
          dataset::runMap(request.glmRoot, run, label, "variance"),
          dataset::runMap(request.glmRoot, run, label, "t"), 0, false};
}

}  // namespace

bool checkFirstLevelMaps(const dataset::DatasetRun& run, const FirstLevelRequest& request) {
  const FirstLevelMaps maps = mapFiles(run, request);
  bool present = true;
  for (const auto& file : {maps.effect, maps.variance, maps.t}) {
    present = present && std::filesystem::is_regular_file(file);
  }
  if (present) {
    const std::vector<std::string> differences = modelDifferences(maps.t, run, request);
    if (differences.empty()) return true;
    std::string message =
        maps.t.string() + ": these maps do not match the asked model, and are left as they are:";
    for (const std::string& difference : differences) message += "\n  " + difference;
    throw formats::InputError(
        message +
        "\nask for the model they were fitted with, or fit the asked one into another "
        "folder and give that with --glm-dir: " +
        glmCommand(run, request, "OTHER/" + run.subject + "/func"));
  }
  if (request.userFolder) {
    throw formats::InputError(
        request.glmRoot.string() + ": no maps of contrast " + formats::inQuotes(request.contrast) +
        " for " + run.prefix + " (expected " + maps.t.filename().string() +
        "); a folder given with --glm-dir is only read: fit them with " +
        glmCommand(run, request, maps.t.parent_path().string()) + ", or leave out --glm-dir");
  }
  return false;
}

FirstLevelMaps firstLevelMaps(const dataset::DatasetRun& run, const FirstLevelRequest& request,
                              const analysis::Progress& progress) {
  FirstLevelMaps maps = mapFiles(run, request);
  if (!checkFirstLevelMaps(run, request)) {
    analysis::GlmRequest glm;
    glm.bold = run.bold;
    glm.events = run.events;
    glm.outputFolder = maps.t.parent_path();
    glm.prewhiten = request.prewhiten;
    glm.contrasts = {request.contrast};
    glm.mask = request.mask;
    progress("fitting " + run.prefix +
             (request.prewhiten == analysis::Prewhitening::Ar1 ? " with AR(1) prewhitening"
                                                               : " without prewhitening"));
    maps.degreesOfFreedom = analysis::runGlm(glm, [](const std::string&) {}).degreesOfFreedom;
    maps.fitted = true;
    return maps;
  }
  const nlohmann::json sidecar = readJson(dataset::sidecarOf(maps.t));
  if (!sidecar.contains("DegreesOfFreedom") || !sidecar["DegreesOfFreedom"].is_number_integer()) {
    throw formats::InputError(dataset::sidecarOf(maps.t).string() +
                              ": expected the degrees of freedom (DegreesOfFreedom) that "
                              "tolvane glm writes, found none");
  }
  maps.degreesOfFreedom = sidecar["DegreesOfFreedom"].get<int>();
  return maps;
}

}  // namespace tolvane::group
