// Showing an evaluation; see evaluation_section.h.
#include "tolvane/report/evaluation_section.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/errors.h"
#include "tolvane/report/svg_plots.h"

namespace tolvane::report {
namespace {

using Json = nlohmann::json;

// A rate in percent with enough digits to tell 0 from a handful of voxels.
std::string percent(double rate) { return shortNumber(100.0 * rate, 3) + "%"; }

std::string cell(const std::string& content) { return "<td>" + content + "</td>"; }

std::string numberOrDash(const Json& value) {
  return value.is_number() ? shortNumber(value.get<double>(), 4) : std::string("&ndash;");
}

std::string rocPlot(const Json& json, const std::string& id) {
  PlotSeries curve{"ROC curve", {}, {}, "#c0392b", 2.0, 1.0, false};
  for (const Json& point : json.at("rocCurve")) {
    curve.x.push_back(point.at("falsePositiveRate").get<double>());
    curve.y.push_back(point.at("truePositiveRate").get<double>());
  }
  const PlotSeries chance{"chance", {0.0, 1.0}, {0.0, 1.0}, "#888", 1.2, 1.0, true};
  PlotAxes axes;
  axes.id = id;
  axes.title = "ROC: area " + shortNumber(json.at("areaUnderCurve").get<double>(), 5);
  axes.xLabel = "false-positive rate";
  axes.yLabel = "true-positive rate";
  axes.xMin = axes.yMin = 0.0;
  axes.xMax = axes.yMax = 1.0;
  axes.width = 380;
  axes.height = 360;
  return linePlotSvg(axes, {chance, curve});
}

std::string thresholdTable(const Json& json) {
  std::string html =
      "<table><caption>Counts per threshold (active: statistic &gt; threshold)</caption>"
      "<tr><th>threshold</th><th>TP</th><th>FP</th><th>FN</th><th>TN</th><th>TPR</th>"
      "<th>FPR</th></tr>";
  for (const Json& row : json.at("thresholds")) {
    html += "<tr>" + cell(shortNumber(row.at("threshold").get<double>())) +
            cell(std::to_string(row.at("truePositives").get<long long>())) +
            cell(std::to_string(row.at("falsePositives").get<long long>())) +
            cell(std::to_string(row.at("falseNegatives").get<long long>())) +
            cell(std::to_string(row.at("trueNegatives").get<long long>())) +
            cell(percent(row.at("truePositiveRate").get<double>())) +
            cell(percent(row.at("falsePositiveRate").get<double>())) + "</tr>";
  }
  return html + "</table>";
}

std::string regionTable(const Json& json) {
  std::string html =
      "<table><caption>Regions</caption><tr><th>region</th><th>voxels</th>"
      "<th>peak</th><th>peak voxel</th>";
  for (const Json& row : json.at("thresholds")) {
    html += "<th>&gt; " + shortNumber(row.at("threshold").get<double>()) + "</th>";
  }
  const bool effects = json.contains("effectError");
  if (effects) html += "<th>effect bias</th><th>RMS error</th>";
  html += "</tr>";
  for (const Json& region : json.at("regions")) {
    const Json& voxel = region.at("peakVoxel");
    html += "<tr>" + cell(escapeXml(region.at("name").get<std::string>())) +
            cell(std::to_string(region.at("voxels").get<long long>())) +
            cell(numberOrDash(region.at("peakStatistic"))) + cell(voxel.dump());
    for (const Json& detected : region.at("detected")) {
      html +=
          detected.get<bool>() ? "<td class=\"yes\">detected</td>" : "<td class=\"no\">missed</td>";
    }
    if (effects) {
      const Json& error = region.contains("effectError") ? region["effectError"] : Json();
      html += error.is_object() ? cell(numberOrDash(error.at("bias"))) +
                                      cell(numberOrDash(error.at("rootMeanSquareError")))
                                : cell("&ndash;") + cell("&ndash;");
    }
    html += "</tr>";
  }
  return html + "</table>";
}

}  // namespace

std::string evaluationSection(const std::filesystem::path& file, const std::string& id) {
  std::ifstream in(file);
  const Json json = Json::parse(in, nullptr, false);
  try {
    if (!json.is_object()) throw std::runtime_error("not a JSON object");
    const std::string truth =
        std::filesystem::path(json.at("truth").get<std::string>()).filename().string();
    std::string html =
        "<div class=\"evaluation\"><p class=\"note\">Evaluation " +
        escapeXml(file.filename().string()) + " against " + escapeXml(truth) + " (" +
        escapeXml(json.at("truthKind").get<std::string>()) +
        "): " + std::to_string(json.at("positives").get<long long>()) + " positives, " +
        std::to_string(json.at("negatives").get<long long>()) + " negatives; ROC area " +
        shortNumber(json.at("areaUnderCurve").get<double>(), 5) + " (SD under the null " +
        shortNumber(json.at("areaNullStandardDeviation").get<double>(), 2) +
        ").</p><div class=\"row\">" + rocPlot(json, id) + "<div class=\"tables\">" +
        thresholdTable(json) + regionTable(json) + "</div></div></div>";
    return html;
  } catch (const std::exception& error) {
    throw formats::InputError(file.string() +
                              ": expected an evaluation written by tolvane evaluate (" +
                              error.what() + ")");
  }
}

}  // namespace tolvane::report
