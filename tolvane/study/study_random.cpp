// The study's draw sequences; see study_random.h.
#include "tolvane/study/study_random.h"

#include <Random123/philox.h>

#include <cmath>
#include <numbers>

namespace tolvane::study {

DrawSequence::DrawSequence(std::uint32_t seed, std::uint32_t slot, std::uint32_t stream,
                           std::uint32_t purpose)
    : seed_(seed), slot_(slot), stream_(stream), purpose_(purpose) {}

std::uint32_t DrawSequence::nextWord() {
  if (index_ % 4 == 0) {
    r123::Philox4x32_R<10> philox;
    const r123::Philox4x32::key_type key = {{seed_, slot_}};
    const r123::Philox4x32::ctr_type counter = {
        {static_cast<std::uint32_t>(index_ / 4), purpose_, 0u, stream_}};
    const r123::Philox4x32::ctr_type words = philox(counter, key);
    for (int i = 0; i < 4; ++i) words_[i] = words[i];
  }
  return words_[index_++ % 4];
}

double DrawSequence::nextUniform() {
  return (static_cast<double>(nextWord()) + 0.5) / 4294967296.0;
}

double DrawSequence::nextNormal() {
  const double u = nextUniform();
  const double v = nextUniform();
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
}

}  // namespace tolvane::study
