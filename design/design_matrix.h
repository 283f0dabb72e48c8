// The single-study design matrix: named predictors, each one value per volume.
//
// Each predictor keeps two views of its time course: the fine signal, kSamplesPerVolume
// samples per volume (the resolution at which conditions are laid down and the HRF is
// applied), and the per-volume values that the plug-in reads. Before convolution a
// volume's value is the fine signal's largest magnitude within that volume's TR, so
// that a brief event inside a TR still shows in its volume; after convolution each
// volume samples the fine signal at the start of its TR.
//
// The per-volume storage is the host's and is handed out by pointer; it stays valid
// until the matrix is cleared.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "design/protocol.h"

namespace tolvane::design {

struct Predictor {
  std::string name;
  std::vector<double> fineSignal;
  std::vector<float> volumeValues;
};

class DesignMatrix {
 public:
  void clear();
  // Appends an all-zero predictor of numberOfVolumes values.
  void addPredictor(std::string_view name, int numberOfVolumes);
  // The first predictor of that name, or nullopt.
  std::optional<std::size_t> findPredictor(std::string_view name) const;
  // Sets the predictor to `value` while the condition is on and 0 elsewhere.
  void setFromCondition(std::size_t predictor, const Condition& condition, TimeUnit unit,
                        double trMilliseconds, float value);
  // Convolves the predictor's fine signal with the two-gamma HRF of that TR.
  void applyTwoGammaHrf(std::size_t predictor, double trMilliseconds);

  std::size_t size() const { return predictors_.size(); }
  const Predictor& operator[](std::size_t index) const { return predictors_[index]; }
  float* volumeValues(std::size_t index) { return predictors_[index].volumeValues.data(); }

 private:
  std::vector<Predictor> predictors_;
};

}  // namespace tolvane::design
