// Composing a run's part of the report; see run_section.h.
#include "tolvane/report/run_section.h"

#include <algorithm>
#include <cmath>

#include "tolvane/report/evaluation_section.h"
#include "tolvane/report/png_image.h"
#include "tolvane/report/slice_images.h"
#include "tolvane/report/svg_plots.h"

namespace tolvane::report {
namespace {

// Slices are drawn about this many pixels along their longer side, in whole pixels
// per voxel.
constexpr int kSliceTargetPixels = 300;
constexpr int kDesignColumnPixels = 26;
constexpr int kDesignTargetHeight = 320;

std::string image(const RgbImage& picture, const std::string& alt) {
  return "<img src=\"" + pngDataUri(picture) + "\" width=\"" + std::to_string(picture.width) +
         "\" height=\"" + std::to_string(picture.height) + "\" alt=\"" + escapeXml(alt) + "\">";
}

// The colour scale's top: the largest |t| of the run's maps, at least twice the threshold
// so that the scale has room, rounded up to a whole number.
double overlayTop(const RunData& run, double threshold) {
  double top = 2.0 * threshold;
  for (const StatisticMap& map : run.tMaps) {
    for (float t : map.t) {
      if (std::isfinite(t)) top = std::max(top, double(std::fabs(t)));
    }
  }
  return std::ceil(top);
}

std::string slices(const RunData& run, const RegionData& region, const StatisticMap& map,
                   double threshold, double top) {
  const auto& dims = run.geometry.dims;
  const int scale = static_cast<int>(
      std::clamp<std::int64_t>(kSliceTargetPixels / std::max({dims[0], dims[1], dims[2]}), 1, 8));
  SliceLayers layers;
  layers.dims = dims;
  layers.background = &run.mean;
  layers.window = robustWindow(run.mean);
  layers.outlined = &run.truth;
  layers.statistic = &map.t;
  layers.threshold = threshold;
  layers.top = top;
  static const char* const kAxes[] = {"x across, y up", "x across, z up", "y across, z up"};
  std::string html = "<div class=\"slices\">";
  for (Plane plane : {Plane::Axial, Plane::Coronal, Plane::Sagittal}) {
    const int axis = fixedAxis(plane);
    const std::int64_t index = region.centre[std::size_t(axis)];
    const std::string caption = std::string(planeName(plane)) + ", " + "xyz"[axis] + " = " +
                                std::to_string(index) + " (" + kAxes[int(plane)] + ")";
    html += "<figure>" +
            image(renderSlice(layers, plane, index, scale),
                  caption + ", t of " + map.expression + " over the mean image") +
            "<figcaption>" + escapeXml(caption) + "</figcaption></figure>";
  }
  return html + "</div>";
}

std::string timeCourses(const RunData& run, const RegionData& region, const std::string& id) {
  std::vector<double> time(std::size_t(run.volumes));
  for (std::size_t t = 0; t < time.size(); ++t) time[t] = double(t) * run.trSeconds;
  std::vector<PlotSeries> series;
  for (const std::vector<double>& course : region.voxelCourses) {
    series.push_back({"", time, course, "#7f8c9d", 0.8, 0.35, false});
  }
  series.back().label = "voxels";
  series.push_back({"region mean", time, region.meanCourse, "#1f3a93", 2.0, 1.0, false});
  // The effect that was put in, placed at the level of the region's mean signal.
  double offset = 0.0;
  for (std::size_t t = 0; t < time.size(); ++t) {
    offset += (region.meanCourse[t] - region.expectedEffect[t]) / double(time.size());
  }
  std::vector<double> expected(region.expectedEffect);
  for (double& value : expected) value += offset;
  series.push_back({"true effect x predictor", time, expected, "#e74c3c", 2.0, 1.0, true});
  PlotAxes axes;
  axes.id = id;
  axes.title = "Time courses in " + region.name + " (" + std::to_string(region.voxels.size()) +
               " voxels, " + std::to_string(region.voxelCourses.size()) + " shown)";
  axes.xLabel = "time (s)";
  axes.yLabel = "signal (data units)";
  axes.width = 760;
  axes.height = 300;
  return linePlotSvg(axes, series);
}

std::string designMatrix(const RunData& run) {
  const int columns = static_cast<int>(run.designColumns.size());
  const int rowPixels = std::max(1, kDesignTargetHeight / std::max(1, run.volumes));
  RgbImage picture(columns * kDesignColumnPixels, run.volumes * rowPixels);
  for (int c = 0; c < columns; ++c) {
    const std::vector<double>& values = run.designValues[std::size_t(c)];
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    // Each column on its own scale, black at its least value and white at its largest;
    // a constant column is white.
    GreyWindow window{*low, *high};
    if (!(window.high > window.low)) window = {window.high - 1.0, window.high};
    for (int t = 0; t < run.volumes; ++t) {
      const Rgb level = greyLevel(values[std::size_t(t)], window);
      for (int dy = 0; dy < rowPixels; ++dy) {
        for (int dx = 1; dx < kDesignColumnPixels - 1; ++dx) {
          picture.set(c * kDesignColumnPixels + dx, t * rowPixels + dy, level);
        }
      }
    }
  }
  const int labelHeight = 76;
  std::string labels = "<svg class=\"design-labels\" width=\"" + std::to_string(picture.width) +
                       "\" height=\"" + std::to_string(labelHeight) + "\" viewBox=\"0 0 " +
                       std::to_string(picture.width) + " " + std::to_string(labelHeight) + "\">";
  for (int c = 0; c < columns; ++c) {
    const int x = c * kDesignColumnPixels + kDesignColumnPixels / 2 + 4;
    labels += "<text transform=\"translate(" + std::to_string(x) + " " +
              std::to_string(labelHeight - 4) + ") rotate(-60)\">" +
              escapeXml(run.designColumns[std::size_t(c)]) + "</text>";
  }
  labels += "</svg>";
  std::string ticks = "<svg class=\"design-ticks\" width=\"64\" height=\"" +
                      std::to_string(picture.height) + "\" viewBox=\"0 0 64 " +
                      std::to_string(picture.height) + "\">";
  for (double tick : niceTicks(0, run.volumes - 1, 6)) {
    const double y = (tick + 0.5) * rowPixels;
    ticks += "<line x1=\"56\" x2=\"63\" y1=\"" + shortNumber(y, 6) + "\" y2=\"" +
             shortNumber(y, 6) + "\" class=\"tick\"/><text x=\"53\" y=\"" + shortNumber(y + 4, 6) +
             "\" text-anchor=\"end\">" + shortNumber(tick) + "</text>";
  }
  ticks += "<text transform=\"translate(14 " + std::to_string(picture.height / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" class=\"label\">volume</text></svg>";
  return "<figure class=\"design\"><div class=\"design-grid\"><span></span>" + labels + ticks +
         image(picture, "design matrix: one column per predictor, one row per volume") +
         "</div><figcaption>Design matrix: " + std::to_string(columns) + " columns, " +
         std::to_string(run.volumes) + " volumes; each column scaled from its least value " +
         "(black) to its largest (white)</figcaption></figure>";
}

}  // namespace

std::string runSection(const RunData& run, const std::string& id, double tThreshold) {
  const double top = overlayTop(run, tThreshold);
  std::string html = "<section id=\"" + id + "\"><h2>" + escapeXml(run.files.prefix) + "</h2>";
  html += "<p class=\"note\">" + escapeXml(run.files.bold.filename().string()) + ": " +
          std::to_string(run.geometry.dims[0]) + " &times; " +
          std::to_string(run.geometry.dims[1]) + " &times; " +
          std::to_string(run.geometry.dims[2]) + " voxels, " + std::to_string(run.volumes) +
          " volumes, TR " + shortNumber(run.trSeconds) + " s. ";
  const std::string fitNote = run.prewhitened
                                  ? "AR(1) prewhitening, as the study's noise is autocorrelated"
                                  : "OLS, no prewhitening";
  html += run.fitted ? "No GLM outputs were found in " + escapeXml(run.files.glmFolder.string()) +
                           ": the t maps below were fitted for this report (cosine high-pass "
                           "at 128 s, " +
                           fitNote + ")."
                     : "t maps from " + escapeXml(run.files.glmFolder.string()) + ".";
  html +=
      " Slices show the mean image in grey, the truth's regions outlined in green, and t "
      "where |t| &ge; " +
      shortNumber(tThreshold) + ".</p>";
  html += colourBarSvg(tThreshold, top, "t (positive: orange to yellow, negative: blue to cyan)");
  if (run.tMaps.empty()) {
    html +=
        "<p class=\"note\">No condition has an effect in the truth, so no contrast was "
        "fitted; give one with --contrast.</p>";
  }
  for (std::size_t r = 0; r < run.regions.size(); ++r) {
    const RegionData& region = run.regions[r];
    html += "<h3>" + escapeXml(region.name) + ": " + std::to_string(region.voxels.size()) +
            " voxels, centre voxel (" + std::to_string(region.centre[0]) + ", " +
            std::to_string(region.centre[1]) + ", " + std::to_string(region.centre[2]) + ")</h3>";
    for (const StatisticMap& map : run.tMaps) {
      html += "<h4>t of " + escapeXml(map.expression) +
              (map.file.empty() ? "" : " (" + escapeXml(map.file.filename().string()) + ")") +
              "</h4>" + slices(run, region, map, tThreshold, top);
    }
    html += timeCourses(run, region, id + "-course-" + std::to_string(r));
  }
  html += "<h3>Design</h3>" + designMatrix(run);
  for (const StatisticMap& map : run.tMaps) {
    for (std::size_t e = 0; e < map.evaluations.size(); ++e) {
      html +=
          "<h3>Evaluation of t of " + escapeXml(map.expression) + "</h3>" +
          evaluationSection(map.evaluations[e], id + "-roc-" + map.label + "-" + std::to_string(e));
    }
  }
  return html + "</section>";
}

}  // namespace tolvane::report
