// Haemodynamic response shapes other than the canonical one, and the predictors they
// give.
//
// A two-gamma response with delays d1, d2, dispersions s1, s2 and ratio r is
//
//   h(t) = G(t; d1/s1, s1) - G(t; d2/s2, s2) / r,   G(t; k, s) = t^(k-1) e^(-t/s) / (Gamma(k) s^k)
//
// t in seconds: each gamma density has mean d (its "delay") and scale s (its
// "dispersion"), the parameterisation of SPM's canonical response. The defaults, d1 = 6,
// d2 = 16, s1 = s2 = 1, r = 6, are the canonical two-gamma of hrf.h, and give its values
// to the last bit (k = 6 / 1 and 16 / 1 are exact, t / 1 is t and log 1 is 0). A single
// gamma is the first term alone. An FIR shape is values at t = 0, step, 2 step, ...,
// joined by straight lines, falling to 0 one step after the last. The balloon model
// (balloon.h) is no kernel: its predictor is the model's response to the condition's
// fine signal as neural input, scaled by its steady state.
//
// Every shape is sampled and convolved as hrf.h describes: on the fine grid of
// kSamplesPerVolume samples per volume, over the first kHrfLengthSeconds (an FIR shape:
// over its own length), scaled to unit sum so that a long block reaches its own height,
// and each volume takes the fine value at the start of its TR.
#pragma once

#include <vector>

#include "design/balloon.h"
#include "design/protocol.h"

namespace tolvane::design {

enum class ResponseModel { TwoGamma, Gamma, Fir, Balloon };

struct ResponseShape {
  ResponseModel model = ResponseModel::TwoGamma;
  double peakDelaySeconds = 6.0;
  double undershootDelaySeconds = 16.0;
  double peakDispersionSeconds = 1.0;
  double undershootDispersionSeconds = 1.0;
  double undershootRatio = 6.0;
  std::vector<double> firValues;  // FIR only
  double firStepSeconds = 1.0;    // FIR only
  BalloonParameters balloon;      // balloon only

  // The canonical two-gamma of hrf.h, exactly.
  bool isCanonical() const;
};

// h(t) at t seconds, before scaling (0 for t <= 0); not for the balloon model.
double responseAt(const ResponseShape& shape, double seconds);

// The kernel on the fine grid of a TR in milliseconds, scaled to unit sum; not for the
// balloon model.
std::vector<double> sampledResponse(const ResponseShape& shape, double trMilliseconds);

// The time in seconds at which the response to a brief event is largest, to a
// millisecond or better: h on a 1 ms grid (the balloon model: its response to a 10 ms
// event on a 10 ms grid), refined by the parabola through the largest sample and its
// neighbours.
double peakLatencySeconds(const ResponseShape& shape);

// The condition on the fine grid of `volumes` volumes: the value while it is on, as
// DesignMatrix::setFromCondition lays it down (value 1); with `weights`, the sum over
// intervals i of weights[i] while interval i is on (overlapping intervals add).
std::vector<double> conditionFineSignal(const Condition& condition, TimeUnit unit,
                                        double trMilliseconds, int volumes,
                                        const std::vector<double>* weights = nullptr);

// The causal convolution of a fine signal with a kernel on the fine grid, sampled at
// each volume's start, each sample summed in the order of convolve (hrf.h).
std::vector<float> convolvedAtVolumeStarts(const std::vector<double>& fine,
                                           const std::vector<double>& kernel, int volumes);

// The predictor of a fine signal with this shape, sampled at each volume's start: the
// causal convolution with sampledResponse (each sample summed in the order of convolve,
// hrf.h, so the values equal the design matrix's with the same kernel), or the balloon
// model's response.
std::vector<float> shapedPredictor(const ResponseShape& shape, const std::vector<double>& fine,
                                   double trMilliseconds, int volumes);

}  // namespace tolvane::design
