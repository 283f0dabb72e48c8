// The balloon-windkessel model; see balloon.h.
#include "design/balloon.h"

#include <algorithm>
#include <cmath>

namespace tolvane::design {
namespace {

struct State {
  double s, f, v, q;
};

// The model's constants, computed once per response.
struct Constants {
  BalloonParameters p;
  double inverseAlpha, inverseTau, inverseRho, logUnextracted, k1, k2, k3;
};

Constants constantsOf(const BalloonParameters& parameters) {
  return {parameters,          1.0 / parameters.alpha,          1.0 / parameters.tau,
          1.0 / parameters.rho, std::log(1.0 - parameters.rho), 7.0 * parameters.rho,
          2.0,                  2.0 * parameters.rho - 0.2};
}

State derivative(const Constants& c, const State& x, double u) {
  const double outflow = std::exp(c.inverseAlpha * std::log(x.v));  // v^(1/alpha)
  const double extraction = 1.0 - std::exp(c.logUnextracted / x.f);  // E(f)
  return {c.p.epsilon * u - c.p.kappa * x.s - c.p.gamma * (x.f - 1.0), x.s,
          (x.f - outflow) * c.inverseTau,
          (x.f * extraction * c.inverseRho - outflow * x.q / x.v) * c.inverseTau};
}

State advanced(const State& x, const State& slope, double h) {
  return {x.s + h * slope.s, x.f + h * slope.f, x.v + h * slope.v, x.q + h * slope.q};
}

State rungeKuttaStep(const Constants& c, const State& x, double u, double h) {
  const State k1 = derivative(c, x, u);
  const State k2 = derivative(c, advanced(x, k1, 0.5 * h), u);
  const State k3 = derivative(c, advanced(x, k2, 0.5 * h), u);
  const State k4 = derivative(c, advanced(x, k3, h), u);
  return {x.s + h / 6.0 * (k1.s + 2.0 * k2.s + 2.0 * k3.s + k4.s),
          x.f + h / 6.0 * (k1.f + 2.0 * k2.f + 2.0 * k3.f + k4.f),
          x.v + h / 6.0 * (k1.v + 2.0 * k2.v + 2.0 * k3.v + k4.v),
          x.q + h / 6.0 * (k1.q + 2.0 * k2.q + 2.0 * k3.q + k4.q)};
}

double bold(const Constants& c, const State& x) {
  return c.p.v0 * (c.k1 * (1.0 - x.q) + c.k2 * (1.0 - x.q / x.v) + c.k3 * (1.0 - x.v));
}

}  // namespace

std::vector<double> balloonResponse(const BalloonParameters& parameters,
                                    const std::vector<double>& input, double stepSeconds,
                                    std::size_t samplesPerOutput, double maxStepSeconds) {
  const Constants c = constantsOf(parameters);
  std::vector<double> y;
  y.reserve(input.size() / samplesPerOutput + 1);
  State x{0.0, 1.0, 1.0, 1.0};
  std::size_t k = 0;
  while (k < input.size()) {
    if (k % samplesPerOutput == 0) y.push_back(bold(c, x));
    // The samples up to the next change of the input or the next output.
    const std::size_t nextOutput = (k / samplesPerOutput + 1) * samplesPerOutput;
    std::size_t end = k + 1;
    while (end < std::min(nextOutput, input.size()) && input[end] == input[k]) ++end;
    const double seconds = static_cast<double>(end - k) * stepSeconds;
    const int steps = std::max(1, static_cast<int>(std::ceil(seconds / maxStepSeconds - 1e-9)));
    const double h = seconds / steps;
    for (int i = 0; i < steps; ++i) x = rungeKuttaStep(c, x, input[k], h);
    k = end;
  }
  return y;
}

double balloonSteadyState(const BalloonParameters& parameters, double u) {
  // s = 0, so f = 1 + eps u / gamma; v^(1/alpha) = f; and q / v = E(f) / rho.
  const Constants c = constantsOf(parameters);
  const double f = 1.0 + parameters.epsilon * u / parameters.gamma;
  const double v = std::pow(f, parameters.alpha);
  const double q = v * (1.0 - std::exp(c.logUnextracted / f)) / parameters.rho;
  return bold(c, {0.0, f, v, q});
}

}  // namespace tolvane::design
