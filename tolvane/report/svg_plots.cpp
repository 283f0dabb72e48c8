// Inline SVG plots; see svg_plots.h.
#include "tolvane/report/svg_plots.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "tolvane/report/slice_images.h"

namespace tolvane::report {
namespace {

constexpr double kLeftMargin = 64, kRightMargin = 16, kTopMargin = 46, kBottomMargin = 46;
// The title on the first line, the legend on the second, above the frame.
constexpr double kTitleBaseline = 16, kLegendBaseline = 36;
constexpr int kColourBarSteps = 16;

std::string hex(Rgb colour) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", colour.r, colour.g, colour.b);
  return buffer;
}

struct Range {
  double low, high;
};

Range dataRange(const std::vector<PlotSeries>& series, bool xAxis) {
  Range range{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (const PlotSeries& s : series) {
    for (double value : xAxis ? s.x : s.y) {
      if (!std::isfinite(value)) continue;
      range.low = std::min(range.low, value);
      range.high = std::max(range.high, value);
    }
  }
  if (!(range.high >= range.low)) return {0.0, 1.0};
  if (range.high == range.low) return {range.low - 1.0, range.high + 1.0};
  return range;
}

std::string text(double x, double y, const std::string& content, const char* anchor,
                 const std::string& extra = "") {
  return "<text x=\"" + shortNumber(x, 6) + "\" y=\"" + shortNumber(y, 6) + "\" text-anchor=\"" +
         anchor + "\"" + extra + ">" + escapeXml(content) + "</text>";
}

}  // namespace

std::string escapeXml(const std::string& raw) {
  std::string escaped;
  for (char c : raw) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string shortNumber(double value, int significant) {
  if (value == 0.0) return "0";  // also turns -0 into 0
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.*g", significant, value);
  return buffer;
}

std::vector<double> niceTicks(double low, double high, int count) {
  const double rough = (high - low) / std::max(1, count);
  const double exponent = std::floor(std::log10(rough));
  double factor = 10.0;
  for (double candidate : {1.0, 2.0, 5.0}) {
    if (candidate * std::pow(10.0, exponent) >= rough) {
      factor = candidate;
      break;
    }
  }
  // Tick k is k * factor * 10^exponent; below 1 the power is applied as a division by an
  // exact 10^-exponent, so that 0.6 comes out as 0.6 and not as 3 * 0.2.
  const double scale = exponent < 0 ? std::pow(10.0, -exponent) : 1.0;
  const double power = exponent < 0 ? 1.0 : std::pow(10.0, exponent);
  const auto tick = [&](double k) { return k * factor * power / scale; };
  std::vector<double> ticks;
  const double step = tick(1.0);
  for (double k = std::ceil(low / step - 1e-9); tick(k) <= high + step * 1e-9; ++k) {
    ticks.push_back(k == 0.0 ? 0.0 : tick(k));
  }
  return ticks;
}

std::string linePlotSvg(const PlotAxes& axes, const std::vector<PlotSeries>& series) {
  const Range xData = dataRange(series, true), yData = dataRange(series, false);
  const Range xs{axes.xMin.value_or(xData.low), axes.xMax.value_or(xData.high)};
  Range ys{axes.yMin.value_or(yData.low), axes.yMax.value_or(yData.high)};
  if (!axes.yMin && !axes.yMax) {  // a little air above and below the data
    const double pad = 0.05 * (ys.high - ys.low);
    ys = {ys.low - pad, ys.high + pad};
  }
  const double plotWidth = axes.width - kLeftMargin - kRightMargin;
  const double plotHeight = axes.height - kTopMargin - kBottomMargin;
  const auto px = [&](double x) {
    return kLeftMargin + (x - xs.low) / (xs.high - xs.low) * plotWidth;
  };
  const auto py = [&](double y) {
    return kTopMargin + (ys.high - y) / (ys.high - ys.low) * plotHeight;
  };
  const std::string size = std::to_string(axes.width) + " " + std::to_string(axes.height);
  std::string svg = "<svg class=\"plot\" width=\"" + std::to_string(axes.width) + "\" height=\"" +
                    std::to_string(axes.height) + "\" viewBox=\"0 0 " + size +
                    "\" role=\"img\" aria-label=\"" + escapeXml(axes.title) + "\">";
  svg += text(kLeftMargin, kTitleBaseline, axes.title, "start", " class=\"title\"");
  svg += "<rect x=\"" + shortNumber(kLeftMargin, 6) + "\" y=\"" + shortNumber(kTopMargin, 6) +
         "\" width=\"" + shortNumber(plotWidth, 6) + "\" height=\"" + shortNumber(plotHeight, 6) +
         "\" class=\"frame\"/>";
  for (double tick : niceTicks(xs.low, xs.high, 8)) {
    const std::string x = shortNumber(px(tick), 6);
    svg += "<line x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + shortNumber(kTopMargin, 6) +
           "\" y2=\"" + shortNumber(kTopMargin + plotHeight + 4, 6) + "\" class=\"grid\"/>";
    svg += text(px(tick), kTopMargin + plotHeight + 17, shortNumber(tick), "middle");
  }
  for (double tick : niceTicks(ys.low, ys.high, 5)) {
    const std::string y = shortNumber(py(tick), 6);
    svg += "<line x1=\"" + shortNumber(kLeftMargin - 4, 6) + "\" x2=\"" +
           shortNumber(kLeftMargin + plotWidth, 6) + "\" y1=\"" + y + "\" y2=\"" + y +
           "\" class=\"grid\"/>";
    svg += text(kLeftMargin - 7, py(tick) + 4, shortNumber(tick), "end");
  }
  svg +=
      text(kLeftMargin + plotWidth / 2, axes.height - 6, axes.xLabel, "middle", " class=\"label\"");
  const std::string yMiddle = shortNumber(kTopMargin + plotHeight / 2, 6);
  svg += text(0, 0, axes.yLabel, "middle",
              " class=\"label\" transform=\"translate(14 " + yMiddle + ") rotate(-90)\"");
  // The data are clipped to the frame, so that fixed axis ranges cannot spill over.
  const std::string clip = "clip-" + axes.id;
  svg += "<clipPath id=\"" + clip + "\"><rect x=\"" + shortNumber(kLeftMargin, 6) + "\" y=\"" +
         shortNumber(kTopMargin, 6) + "\" width=\"" + shortNumber(plotWidth, 6) + "\" height=\"" +
         shortNumber(plotHeight, 6) + "\"/></clipPath><g clip-path=\"url(#" + clip + ")\">";
  for (const PlotSeries& s : series) {
    std::string points;
    for (std::size_t i = 0; i < s.x.size() && i < s.y.size(); ++i) {
      if (!std::isfinite(s.x[i]) || !std::isfinite(s.y[i])) continue;
      points += (points.empty() ? "" : " ") + shortNumber(px(s.x[i]), 5) + "," +
                shortNumber(py(s.y[i]), 5);
    }
    svg += "<polyline fill=\"none\" stroke=\"" + s.colour + "\" stroke-width=\"" +
           shortNumber(s.strokeWidth) + "\" stroke-opacity=\"" + shortNumber(s.opacity) + "\"" +
           (s.dashed ? " stroke-dasharray=\"6 4\"" : "") + " points=\"" + points + "\"/>";
  }
  svg += "</g>";
  double legendX = kLeftMargin + plotWidth;
  for (auto s = series.rbegin(); s != series.rend(); ++s) {
    if (s->label.empty()) continue;
    const double width = 7.0 * double(s->label.size()) + 34;
    legendX -= width;
    const std::string y = shortNumber(kLegendBaseline - 4, 6);
    svg += "<line x1=\"" + shortNumber(legendX, 6) + "\" x2=\"" + shortNumber(legendX + 22, 6) +
           "\" y1=\"" + y + "\" y2=\"" + y + "\" stroke=\"" + s->colour + "\" stroke-width=\"3\"" +
           (s->dashed ? " stroke-dasharray=\"6 4\"" : "") + "/>";
    svg += text(legendX + 26, kLegendBaseline, s->label, "start");
  }
  return svg + "</svg>";
}

std::string colourBarSvg(double threshold, double top, const std::string& label) {
  constexpr double kWidth = 420, kBarTop = 22, kBarHeight = 16, kMargin = 20;
  const double half = (kWidth - 2 * kMargin) / 2;
  const double gap = half * threshold / top;  // |t| below the threshold shows no colour
  const auto position = [&](double t) { return kMargin + half + t / top * half; };
  std::string svg = "<svg class=\"colourbar\" viewBox=\"0 0 " + shortNumber(kWidth) +
                    " 58\" role=\"img\" aria-label=\"" + escapeXml(label) + "\">";
  svg += text(kMargin, 14, label, "start", " class=\"label\"");
  const double step = (half - gap) / kColourBarSteps;
  for (int side : {-1, 1}) {
    for (int i = 0; i < kColourBarSteps; ++i) {
      const double t = side * (threshold + (top - threshold) * (i + 0.5) / kColourBarSteps);
      const double x =
          side > 0 ? position(threshold) + i * step : position(-threshold) - (i + 1) * step;
      svg += "<rect x=\"" + shortNumber(x, 6) + "\" y=\"" + shortNumber(kBarTop) + "\" width=\"" +
             shortNumber(step + 0.5, 6) + "\" height=\"" + shortNumber(kBarHeight) + "\" fill=\"" +
             hex(*statisticColour(t, threshold, top)) + "\"/>";
    }
  }
  svg += "<rect x=\"" + shortNumber(position(-threshold), 6) + "\" y=\"" + shortNumber(kBarTop) +
         "\" width=\"" + shortNumber(2 * gap, 6) + "\" height=\"" + shortNumber(kBarHeight) +
         "\" class=\"gap\"/>";
  for (double t : {-top, -threshold, threshold, top}) {
    const std::string x = shortNumber(position(t), 6);
    svg += "<line x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + shortNumber(kBarTop) + "\" y2=\"" +
           shortNumber(kBarTop + kBarHeight + 4) + "\" class=\"tick\"/>";
    svg += text(position(t), kBarTop + kBarHeight + 16, shortNumber(t, 3), "middle");
  }
  return svg + "</svg>";
}

}  // namespace tolvane::report
