// Checking a study's networks and drawing subjects' correlations; see networks.h.
#include "tolvane/study/networks.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "engine/counter_noise.h"
#include "formats/text_parsing.h"
#include "tolvane/study/correlation_matrix.h"
#include "tolvane/study/study.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {
namespace {

// Amplitudes and widths beyond any data, as the region keys bound theirs.
constexpr double kMaxAmplitude = 1e30;
constexpr double kMaxFwhmMm = 1000.0;

[[noreturn]] void fail(const StudyFile& file, const KeyPlace& place, const std::string& what) {
  formats::failAt(file.path, place.line, "key " + place.key + ": " + what);
}

std::string numberText(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

void checkCorrelationValue(const StudyFile& file, const KeyPlace& place, double mean, double sd) {
  if (!(mean >= -1.0 && mean <= 1.0)) {
    fail(file, place, "expected correlations from -1 to 1, found " + numberText(mean));
  }
  if (!(sd >= 0.0 && sd <= 10.0)) {
    fail(file, place, "expected a per-subject sd from 0 to 10 (Fisher's scale), found " +
                          numberText(sd));
  }
}

// The module of each node, from the modules key, which must split the network's regions.
std::vector<std::size_t> moduleOfNodes(const NetworkEntry& entry, const StudyFile& file) {
  std::vector<std::size_t> module(entry.regions.size(), entry.modules.size());
  for (std::size_t m = 0; m < entry.modules.size(); ++m) {
    for (const std::string& name : entry.modules[m]) {
      const auto found = std::find(entry.regions.begin(), entry.regions.end(), name);
      if (found == entry.regions.end() ||
          module[static_cast<std::size_t>(found - entry.regions.begin())] != entry.modules.size()) {
        fail(file, entry.correlationPlace,
             "expected modules that split the network's regions, each region in one module; " +
                 formats::inQuotes(name) + " is not one of them or is in two");
      }
      module[static_cast<std::size_t>(found - entry.regions.begin())] = m;
    }
  }
  if (std::count(module.begin(), module.end(), entry.modules.size()) > 0) {
    fail(file, entry.correlationPlace, "expected every region of the network in a module");
  }
  return module;
}

// The population matrix and its per-entry sds, from whichever form was written.
void correlationOf(const NetworkEntry& entry, const StudyFile& file, Network& network) {
  const std::size_t n = entry.regions.size();
  network.correlation.assign(n * n, 0.0);
  network.correlationSd.assign(n * n, 0.0);
  const KeyPlace& place = entry.correlationPlace;
  const int forms = int(entry.everyPair.has_value()) + int(!entry.matrix.empty()) +
                    int(entry.within.has_value());
  if (forms != 1) fail(file, place, "expected the network's correlation (one form of it)");
  if (entry.within.has_value() == entry.modules.empty()) {
    fail(file, place, "expected modules with { within, between }, and only then");
  }
  if (!entry.matrix.empty()) {
    if (entry.matrix.size() != n ||
        std::any_of(entry.matrix.begin(), entry.matrix.end(),
                    [n](const std::vector<double>& row) { return row.size() != n; })) {
      fail(file, place, "expected a " + std::to_string(n) + " x " + std::to_string(n) +
                            " matrix, one row per region in the order of regions");
    }
    checkCorrelationValue(file, place, 0.0, entry.matrixSd);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        const double value = entry.matrix[i][j];
        checkCorrelationValue(file, place, value, 0.0);
        if (i == j && value != 1.0) fail(file, place, "expected 1 on the matrix's diagonal");
        if (value != entry.matrix[j][i]) fail(file, place, "expected a symmetric matrix");
        network.correlation[i * n + j] = value;
        network.correlationSd[i * n + j] = i == j ? 0.0 : entry.matrixSd;
      }
    }
    return;
  }
  const std::vector<std::size_t> module =
      entry.within ? moduleOfNodes(entry, file) : std::vector<std::size_t>(n, 0);
  for (const auto* value : {&entry.everyPair, &entry.within, &entry.between}) {
    if (*value) checkCorrelationValue(file, place, (*value)->mean, (*value)->sd);
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const DrawnCorrelation& value = entry.everyPair         ? *entry.everyPair
                                      : module[i] == module[j] ? *entry.within
                                                               : *entry.between;
      network.correlation[i * n + j] = i == j ? 1.0 : value.mean;
      network.correlationSd[i * n + j] = i == j ? 0.0 : value.sd;
    }
  }
}

std::vector<std::size_t> nodesOf(const NetworkEntry& entry, const StudyFile& file,
                                 const Study& study, std::vector<bool>& taken) {
  if (entry.regions.size() < 2) {
    fail(file, entry.regionsPlace, "expected the names of two or more of the study's regions");
  }
  std::vector<std::size_t> nodes;
  for (const std::string& name : entry.regions) {
    std::size_t r = 0;
    while (r < study.regions.size() && study.regions[r].name != name) ++r;
    if (r == study.regions.size()) {
      std::string known;
      for (const Region& region : study.regions) known += (known.empty() ? "" : ", ") + region.name;
      fail(file, entry.regionsPlace, "expected names of the study's regions (" + known +
                                         "), found " + formats::inQuotes(name));
    }
    if (taken[r]) {
      fail(file, entry.regionsPlace, "region " + formats::inQuotes(name) +
                                         " is named twice; a region is a node of one network");
    }
    taken[r] = true;
    nodes.push_back(r);
  }
  return nodes;
}

void checkBand(const NetworkEntry& entry, const StudyFile& file, const Study& study,
               Network& network) {
  const double tr = study.grid.trMilliseconds / 1000.0;
  const double nyquist = 0.5 / tr;
  if (!(entry.bandLowHz >= 0.0 && entry.bandLowHz < entry.bandHighHz &&
        entry.bandHighHz <= nyquist)) {
    fail(file, entry.bandPlace, "expected a band [low, high] in Hz with 0 <= low < high <= " +
                                    numberText(nyquist) + " (the Nyquist frequency of TR " +
                                    numberText(tr) + " s)");
  }
  if (bandFrequencies(study.grid.timePoints, tr, entry.bandLowHz, entry.bandHighHz).empty()) {
    fail(file, entry.bandPlace,
         "the run's " + numberText(study.grid.timePoints * tr) +
             " s hold no whole cycle count in the band; widen it or give more volumes");
  }
  network.bandLowHz = entry.bandLowHz;
  network.bandHighHz = entry.bandHighHz;
}

}  // namespace

bool Network::varies() const {
  return std::any_of(correlationSd.begin(), correlationSd.end(),
                     [](double sd) { return sd != 0.0; });
}

std::vector<int> bandFrequencies(int volumes, double trSeconds, double lowHz, double highHz) {
  std::vector<int> frequencies;
  const double runSeconds = volumes * trSeconds;
  for (int k = 1; 2 * k < volumes; ++k) {
    const double hz = k / runSeconds;
    if (hz >= lowHz && hz <= highHz) frequencies.push_back(k);
  }
  return frequencies;
}

std::vector<Network> resolveNetworks(const std::vector<NetworkEntry>& entries,
                                     const StudyFile& file, const Study& study,
                                     double percentBaseline) {
  std::vector<Network> networks;
  std::vector<bool> taken(study.regions.size(), false);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const NetworkEntry& entry = entries[i];
    if (study.generator != Generator::Philox || study.signal != SignalMode::Add) {
      fail(file, entry.place,
           "a network needs generator = \"philox\" and signal = \"add\": its courses are "
           "added to the noise, from streams of their own");
    }
    Network network;
    network.name = entry.name ? *entry.name : "network" + std::to_string(i + 1);
    network.nodes = nodesOf(entry, file, study, taken);
    correlationOf(entry, file, network);
    const std::size_t n = network.nodes.size();
    if (!correlationFactor(network.correlation, n)) {
      fail(file, entry.correlationPlace,
           "expected a positive semi-definite correlation matrix (the correlation of some "
           "time courses); its smallest eigenvalue is " +
               numberText(smallestEigenvalue(network.correlation, n)) +
               ". Lower the correlations that contradict each other");
    }
    checkBand(entry, file, study, network);
    network.amplitude =
        entry.amplitudePercent ? percentBaseline * entry.amplitude / 100.0 : entry.amplitude;
    network.percentOfBaseline = entry.amplitudePercent;
    network.amplitudeAsWritten = numberText(entry.amplitude) + (entry.amplitudePercent ? "%" : "");
    if (!(network.amplitude > 0.0 && network.amplitude <= kMaxAmplitude)) {
      fail(file, entry.amplitudePlace, "expected the fluctuation's sd, above 0");
    }
    if (entry.fwhmMm) {
      if (!(*entry.fwhmMm > 0.0 && *entry.fwhmMm <= kMaxFwhmMm)) {
        fail(file, entry.place, "expected profile.fwhm_mm above 0 and at most 1000");
      }
      network.fwhmMm = entry.fwhmMm;
    }
    networks.push_back(std::move(network));
  }
  return networks;
}

std::vector<double> subjectCorrelation(const Study& study, std::size_t network, int subject) {
  const Network& net = study.networks[network];
  if (!net.varies()) return net.correlation;
  const std::size_t n = net.nodes.size();
  DrawSequence draws(study.seed, static_cast<std::uint32_t>(subject - 1),
                     engine::kNetworkSubjectStream, static_cast<std::uint32_t>(network));
  std::vector<double> z(n * (n - 1) / 2);
  for (double& value : z) value = draws.nextNormal();
  return drawnCorrelation(net.correlation, n, net.correlationSd, z);
}

}  // namespace tolvane::study
