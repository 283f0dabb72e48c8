// The aliased cardiac and respiratory power; see physiological_noise.h.
#include "tolvane/fit_noise/physiological_noise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace tolvane::fit_noise {
namespace {

// Rates tried across a band when mapping it onto the spectrum.
constexpr int kBandSamples = 400;

std::string withUnit(double value, const char* unit) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g %s", value, unit);
  return text;
}
std::string hertz(double value) { return withUnit(value, "Hz"); }

// The periodogram frequencies (indices) that the band's rates alias onto.
std::vector<int> aliasedBins(double lowHz, double highHz, int volumes, double trSeconds) {
  const int last = volumes / 2;
  std::vector<int> bins;
  for (int i = 0; i <= kBandSamples; ++i) {
    const double hz = lowHz + (highHz - lowHz) * i / kBandSamples;
    const int bin =
        static_cast<int>(std::lround(aliasedFrequency(hz, trSeconds) * volumes * trSeconds));
    bins.push_back(std::min(bin, last));
  }
  std::sort(bins.begin(), bins.end());
  bins.erase(std::unique(bins.begin(), bins.end()), bins.end());
  return bins;
}

// The rate within the band whose alias falls on `bin`, closest to the band's middle.
double rateAt(int bin, double lowHz, double highHz, int volumes, double trSeconds) {
  double best = 0.5 * (lowHz + highHz), bestDistance = INFINITY;
  for (int i = 0; i <= kBandSamples; ++i) {
    const double hz = lowHz + (highHz - lowHz) * i / kBandSamples;
    const double at = aliasedFrequency(hz, trSeconds) * volumes * trSeconds;
    const double distance = std::fabs(at - bin) + 1e-3 * std::fabs(hz - 0.5 * (lowHz + highHz));
    if (distance < bestDistance) {
      bestDistance = distance;
      best = hz;
    }
  }
  return best;
}

}  // namespace

double aliasedFrequency(double hz, double trSeconds) {
  const double sampling = 1.0 / trSeconds;
  return std::fabs(hz - sampling * std::round(hz / sampling));
}

PhysiologicalNoise estimatePhysiologicalNoise(const std::vector<double>& periodogram, int volumes,
                                              double trSeconds, double cutoffSeconds) {
  PhysiologicalNoise physio;
  const int frequencies = static_cast<int>(periodogram.size());
  const std::vector<int> cardiac = aliasedBins(kCardiacLowHz, kCardiacHighHz, volumes, trSeconds);
  const std::vector<int> respiratory =
      aliasedBins(kRespiratoryLowHz, kRespiratoryHighHz, volumes, trSeconds);
  const double driftBins = cutoffSeconds > 0.0 ? volumes * trSeconds / cutoffSeconds : 0.0;
  const std::string rates = "cardiac " + hertz(kCardiacLowHz) + "-" + hertz(kCardiacHighHz) +
                            " and respiratory " + hertz(kRespiratoryLowHz) + "-" +
                            hertz(kRespiratoryHighHz);
  const std::string tr =
      "a TR of " + withUnit(trSeconds, "s") + " over " + std::to_string(volumes) + " volumes";
  std::vector<int> shared;
  std::set_intersection(cardiac.begin(), cardiac.end(), respiratory.begin(), respiratory.end(),
                        std::back_inserter(shared));
  if (!shared.empty()) {
    physio.reason = tr + " aliases the " + rates + " rates onto the same frequencies";
    return physio;
  }
  for (const std::vector<int>* band : {&cardiac, &respiratory}) {
    if (band->front() <= driftBins) {
      physio.reason = tr + " aliases the " + (band == &cardiac ? "cardiac" : "respiratory") +
                      " rates into the drift's band, below 1 / cutoff";
      return physio;
    }
    if (4 * band->size() > static_cast<std::size_t>(frequencies)) {
      physio.reason = tr + " spreads the " + (band == &cardiac ? "cardiac" : "respiratory") +
                      " rates over more than a quarter of the spectrum";
      return physio;
    }
  }
  physio.resolvable = true;

  std::vector<std::uint8_t> inBand(frequencies, 0);
  for (int bin : cardiac) inBand[bin] = 1;
  for (int bin : respiratory) inBand[bin] = 1;
  const int window = std::max(3, static_cast<int>(std::ceil(kBackgroundWindow * frequencies)));
  const auto weight = [&](int bin) { return bin == 0 || 2 * bin == volumes ? 1.0 : 2.0; };
  const auto excessAt = [&](int bin) {
    std::vector<double> around;
    for (int j = std::max(1, bin - window); j <= std::min(frequencies - 1, bin + window); ++j) {
      if (!inBand[j]) around.push_back(periodogram[j]);
    }
    if (around.empty()) return 0.0;
    std::nth_element(around.begin(), around.begin() + around.size() / 2, around.end());
    return std::max(0.0, periodogram[bin] - around[around.size() / 2]);
  };
  double total = 0.0;
  for (int bin = 0; bin < frequencies; ++bin) total += weight(bin) * periodogram[bin];
  if (!(total > 0.0)) return physio;
  double excess = 0.0;
  std::vector<double> lagExcess(kMaxLag + 1, 0.0);
  const auto bandExcess = [&](const std::vector<int>& band, double lowHz, double highHz,
                              double& rate) {
    double strongest = -1.0;
    int strongestBin = band.front();
    for (int bin : band) {
      const double value = excessAt(bin);
      excess += weight(bin) * value;
      for (int k = 0; k <= kMaxLag; ++k) {
        lagExcess[k] += weight(bin) * value * std::cos(2.0 * std::numbers::pi * bin * k / volumes);
      }
      if (value > strongest) {
        strongest = value;
        strongestBin = bin;
      }
    }
    rate = rateAt(strongestBin, lowHz, highHz, volumes, trSeconds);
  };
  bandExcess(cardiac, kCardiacLowHz, kCardiacHighHz, physio.cardiacHz);
  bandExcess(respiratory, kRespiratoryLowHz, kRespiratoryHighHz, physio.respiratoryHz);
  physio.share = excess / total;
  physio.autocorrelation.resize(kMaxLag + 1);
  for (int k = 0; k <= kMaxLag; ++k) physio.autocorrelation[k] = lagExcess[k] / total;
  return physio;
}

}  // namespace tolvane::fit_noise
