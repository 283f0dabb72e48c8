// The balloon-windkessel model of the BOLD response: neural input -> vasodilatory
// signal -> blood flow -> blood volume and deoxyhaemoglobin -> BOLD (Buxton, Wong and
// Frank 1998, "Dynamics of blood flow and oxygenation changes during brain activation:
// the balloon model"; Friston, Mechelli, Turner and Price 2000, "Nonlinear responses in
// fMRI: the balloon model, Volterra kernels, and other hemodynamics").
//
//   ds/dt = eps u - kappa s - gamma (f - 1)          s: vasodilatory signal
//   df/dt = s                                       f: inflow, 1 at rest
//   tau dv/dt = f - v^(1/alpha)                      v: blood volume, 1 at rest
//   tau dq/dt = f E(f) / rho - v^(1/alpha) q / v     q: deoxyhaemoglobin, 1 at rest
//   E(f) = 1 - (1 - rho)^(1/f)                       oxygen extraction
//   y = V0 (k1 (1 - q) + k2 (1 - q/v) + k3 (1 - v)),  k1 = 7 rho, k2 = 2, k3 = 2 rho - 0.2
//
// with t in seconds. The defaults are the values of Friston et al. (2000), Table 1:
// kappa 0.65/s (signal decay), gamma 0.41/s (flow-dependent elimination), tau 0.98 s
// (haemodynamic transit time), alpha 0.32 (Grubb's exponent), rho 0.34 (resting oxygen
// extraction), eps 0.54 (neuronal efficacy); V0 = 0.02 (resting blood volume fraction)
// and the k's are Buxton et al. (1998)'s at 1.5 T, as Friston et al. use them.
//
// Integration: the classical fourth-order Runge-Kutta method with fixed steps. The input
// is a condition on the design's fine grid (kSamplesPerVolume samples per volume), held
// constant within each sample. Between consecutive changes of the input and the samples
// at which the response is wanted (each volume's start), the state is advanced in the
// fewest equal steps of at most kBalloonMaxStepSeconds (0.25 s): steps never straddle a
// change of the input. Halving the steps changes a response by about 2.5e-4 of its peak
// (tests/design/balloon_test.cpp), and they are long enough that 100 regions of 300
// volumes take a few tens of milliseconds (bench/response_shapes_bench.cpp).
//
// As a predictor the response is scaled by the response to a constant input of 1 held
// for ever (the steady state, in closed form), so that a long block reaches 1, as a
// unit-sum kernel's does. The model is nonlinear: events close together saturate, and a
// condition's response is not its events' responses added.
#pragma once

#include <cstddef>
#include <vector>

namespace tolvane::design {

constexpr double kBalloonMaxStepSeconds = 0.25;

struct BalloonParameters {
  double kappa = 0.65;   // 1/s
  double gamma = 0.41;   // 1/s
  double tau = 0.98;     // s
  double alpha = 0.32;
  double rho = 0.34;
  double epsilon = 0.54;
  double v0 = 0.02;
};

// y (the BOLD change as a fraction of the baseline) at the start of every
// `samplesPerOutput`-th sample of `input` (one value per sample of `stepSeconds`), with
// steps of at most `maxStepSeconds`. Starts at rest.
std::vector<double> balloonResponse(const BalloonParameters& parameters,
                                    const std::vector<double>& input, double stepSeconds,
                                    std::size_t samplesPerOutput,
                                    double maxStepSeconds = kBalloonMaxStepSeconds);

// y in the steady state of a constant input u.
double balloonSteadyState(const BalloonParameters& parameters, double u);

}  // namespace tolvane::design
