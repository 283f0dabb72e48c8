// The study's own random draws: generated designs, subjects' effects and region
// offsets. Reproducible from the study seed, the same for any --jobs or --shard, and
// independent of the noise.
//
// Each draw sequence is a stream of Philox4x32-10, the generator of the noise field
// (engine/counter_noise.h), keyed (seed, slot) with the counter (i / 4, purpose, 0,
// stream): word i mod 4 of counter i / 4 is the i-th 32-bit word of the sequence. The
// noise field uses streams 0 and 1; these use kDesignStream (slot: the run's place,
// purpose 0) and kSubjectStream (slot: the subject's number - 1 for the subject's
// effects, purpose 0, its regions' offsets, purpose 2, and its regions' haemodynamic
// responses, purpose 3 (response_draws.h); the run's place for the run's effects,
// purpose 1, and its trials' amplitudes, purpose 4, trial_amplitudes.h). The counters of
// different streams differ in their last word, so no draw here ever repeats a deviate
// of the noise or of another sequence.
//
// A uniform is (w + 1/2) / 2^32, in (0, 1); a standard normal deviate is drawn from two
// uniforms by the Box-Muller transform (the cosine branch), in double.
#pragma once

#include <cstdint>

namespace tolvane::study {

enum class DrawPurpose : std::uint32_t { Subject = 0, Run = 1, Jitter = 2, Response = 3,
                                        Trial = 4 };

class DrawSequence {
 public:
  DrawSequence(std::uint32_t seed, std::uint32_t slot, std::uint32_t stream,
               std::uint32_t purpose = 0);

  std::uint32_t nextWord();
  double nextUniform();  // in (0, 1)
  double nextNormal();   // standard normal

 private:
  std::uint32_t seed_, slot_, stream_, purpose_;
  std::uint64_t index_ = 0;
  std::uint32_t words_[4] = {};
};

}  // namespace tolvane::study
