// Plots as inline SVG: line plots with labelled, ticked axes and a legend, and the
// colour bar of the statistical overlay. Text stays text, so it is sharp at any zoom
// and needs no font in the program.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvane::report {

struct PlotSeries {
  std::string label;  // empty: not in the legend
  std::vector<double> x, y;
  std::string colour = "#000";
  double strokeWidth = 1.5;
  double opacity = 1.0;
  bool dashed = false;
};

struct PlotAxes {
  std::string id;  // unique within the page (letters, digits, '-')
  std::string title, xLabel, yLabel;
  std::optional<double> xMin, xMax, yMin, yMax;  // from the data when absent
  int width = 560, height = 300;                 // CSS pixels at 100% width
};

// Tick values at 1, 2 or 5 times a power of ten, about `count` of them, covering
// [low, high].
std::vector<double> niceTicks(double low, double high, int count);

std::string linePlotSvg(const PlotAxes& axes, const std::vector<PlotSeries>& series);

// A horizontal bar for statisticColour(): negative side, gap below the threshold,
// positive side, with tick labels.
std::string colourBarSvg(double threshold, double top, const std::string& label);

// Text made safe for HTML and SVG content and attributes.
std::string escapeXml(const std::string& text);

// A number in at most `significant` significant digits, without trailing zeros.
std::string shortNumber(double value, int significant = 4);

}  // namespace tolvane::report
