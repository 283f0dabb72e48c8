// The first-level maps of a run, reused or fitted; see first_level.h.
#include "tolvane/group/first_level.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/dataset/analysis_files.h"
#include "tolvane/dataset/names.h"

namespace tolvane::group {
namespace {

const char* prewhiteningRecord(analysis::Prewhitening prewhiten) {
  return prewhiten == analysis::Prewhitening::Ar1 ? "AR(1), pooled" : "none";
}

nlohmann::json readJson(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return nlohmann::json::object();
  nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
}

bool matches(const FirstLevelMaps& maps, const FirstLevelRequest& request) {
  for (const auto& file : {maps.effect, maps.variance, maps.t}) {
    if (!std::filesystem::is_regular_file(file)) return false;
  }
  const nlohmann::json sidecar = readJson(dataset::sidecarOf(maps.t));
  return sidecar.value("Prewhitening", "") == prewhiteningRecord(request.prewhiten) &&
         sidecar.value("HighPassCutoffSeconds", -1.0) == analysis::kDefaultHighpassSeconds;
}

}  // namespace

FirstLevelMaps firstLevelMaps(const dataset::DatasetRun& run, const FirstLevelRequest& request,
                              const analysis::Progress& progress) {
  const std::string label = analysis::bidsLabel(request.contrast);
  FirstLevelMaps maps{dataset::runMap(request.glmRoot, run, label, "effect"),
                      dataset::runMap(request.glmRoot, run, label, "variance"),
                      dataset::runMap(request.glmRoot, run, label, "t"), 0, false};
  if (!matches(maps, request)) {
    analysis::GlmRequest glm;
    glm.bold = run.bold;
    glm.events = run.events;
    glm.outputFolder = maps.t.parent_path();
    glm.prewhiten = request.prewhiten;
    glm.contrasts = {request.contrast};
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
