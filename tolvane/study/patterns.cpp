// Checking and drawing regions' patterns; see patterns.h.
#include "tolvane/study/patterns.h"

#include <sstream>

#include "engine/counter_noise.h"
#include "formats/text_parsing.h"
#include "tolvane/study/correlation_matrix.h"
#include "tolvane/study/study.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {
namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const KeyPlace& place,
                       const std::string& what) {
  formats::failAt(file, place.line, "key " + place.key + ": " + what);
}

}  // namespace

std::optional<Pattern> resolvePattern(const RegionEntry& entry, const Study& study,
                                      double percentBaseline) {
  if (!entry.pattern) return std::nullopt;
  const PatternEntry& written = *entry.pattern;
  const std::filesystem::path& file = study.file;
  if (study.generator != Generator::Philox || study.signal != SignalMode::Add) {
    fail(file, written.place, "a pattern needs generator = \"philox\" and signal = \"add\"");
  }
  Pattern pattern;
  for (std::size_t c = 0; c < study.protocol.conditions.size(); ++c) {
    for (const AmplitudeEntry& effect : entry.effects) {
      if (study.protocol.conditions[c].name == effect.condition) pattern.conditions.push_back(c);
    }
  }
  const std::size_t m = pattern.conditions.size();
  if (m == 0) fail(file, written.place, "expected the region's effects, the patterns' means");
  pattern.similarity.assign(m * m, written.correlation.value_or(0.0));
  for (std::size_t i = 0; i < m; ++i) pattern.similarity[i * m + i] = 1.0;
  if (!written.similarity.empty()) {
    if (written.similarity.size() != m) {
      fail(file, written.place, "expected a " + std::to_string(m) + " x " + std::to_string(m) +
                                    " similarity, a row per condition of the effects table in the protocol's order");
    }
    for (std::size_t i = 0; i < m; ++i) {
      if (written.similarity[i].size() != m) {
        fail(file, written.place, "expected a square similarity matrix");
      }
      for (std::size_t j = 0; j < m; ++j) {
        const double value = written.similarity[i][j];
        if (value != written.similarity[j][i] || (i == j && value != 1.0)) {
          fail(file, written.place, "expected a symmetric similarity with 1 on its diagonal");
        }
        pattern.similarity[i * m + j] = value;
      }
    }
  }
  for (const double value : pattern.similarity) {
    if (!(value >= -1.0 && value <= 1.0)) {
      fail(file, written.place, "expected correlations from -1 to 1");
    }
  }
  if (!correlationFactor(pattern.similarity, m)) {
    std::ostringstream eigenvalue;
    eigenvalue << smallestEigenvalue(pattern.similarity, m);
    fail(file, written.place,
         "expected a positive semi-definite similarity (the correlation of some patterns); "
         "its smallest eigenvalue is " + eigenvalue.str());
  }
  pattern.sd = written.sdPercent ? percentBaseline * written.sd / 100.0 : written.sd;
  pattern.percentOfBaseline = written.sdPercent;
  if (!(pattern.sd >= 0.0 && pattern.sd <= 1e30)) {
    fail(file, written.place, "expected a voxel-wise sd of 0 or more");
  }
  return pattern;
}

std::vector<double> patternDeviations(const Study& study, std::size_t region, int subject) {
  const Region& owner = study.regions[region];
  const Pattern& pattern = *owner.pattern;
  const std::size_t m = pattern.conditions.size();
  const std::vector<double> factor = *correlationFactor(pattern.similarity, m);
  DrawSequence draws(study.seed, static_cast<std::uint32_t>(subject - 1), engine::kPatternStream,
                     static_cast<std::uint32_t>(region));
  std::vector<double> deviations(owner.voxels.size() * m);
  std::vector<double> z(m);
  for (std::size_t i = 0; i < owner.voxels.size(); ++i) {
    for (double& value : z) value = draws.nextNormal();
    for (std::size_t c = 0; c < m; ++c) {
      double mixed = 0.0;
      for (std::size_t k = 0; k <= c; ++k) mixed += factor[c * m + k] * z[k];
      deviations[i * m + c] = pattern.sd * mixed;
    }
  }
  return deviations;
}

}  // namespace tolvane::study
