// AR(p) and ARMA(1,1) fits with the correction for the removed temporal model; see
// temporal_correlation.h.
#include "tolvane/fit_noise/temporal_correlation.h"

#include <algorithm>
#include <cmath>

namespace tolvane::fit_noise {
namespace {

constexpr int kMaxCorrectionRounds = 8;
// Impulse-response terms beyond the lags needed; a stationary model's terms have
// decayed below double precision long before for |roots| up to 0.98.
constexpr int kImpulseTail = 2048;

// Levinson-Durbin on rho(0 .. order): the AR(order) coefficients, and the partial
// autocorrelations. Returns false when the sequence is not that of a stationary process.
bool levinson(const std::vector<double>& rho, int order, std::vector<double>& phi,
              std::vector<double>& partial) {
  phi.assign(order, 0.0);
  partial.assign(order, 0.0);
  std::vector<double> previous;
  double error = rho[0];
  for (int m = 1; m <= order; ++m) {
    double numerator = rho[m];
    for (int i = 1; i < m; ++i) numerator -= phi[i - 1] * rho[m - i];
    const double reflection = numerator / error;
    if (!(std::fabs(reflection) < 1.0)) return false;
    previous = phi;
    phi[m - 1] = reflection;
    for (int i = 1; i < m; ++i) phi[i - 1] = previous[i - 1] - reflection * previous[m - i - 1];
    partial[m - 1] = reflection;
    error *= 1.0 - reflection * reflection;
  }
  return true;
}

bool arma11(double rho1, double rho2, ArmaModel& model) {
  if (!(std::fabs(rho1) > 1e-6)) return false;
  const double phi = rho2 / rho1;
  if (!(std::fabs(phi) < 1.0)) return false;
  const double a = rho1 - phi, b = 2.0 * phi * rho1 - 1.0 - phi * phi;
  double theta = 0.0;
  if (std::fabs(a) > 1e-12) {
    const double discriminant = b * b - 4.0 * a * a;
    if (discriminant < 0.0) return false;
    // The roots' product is 1: the one of smaller magnitude is invertible.
    const double r1 = (-b + std::sqrt(discriminant)) / (2.0 * a);
    const double r2 = (-b - std::sqrt(discriminant)) / (2.0 * a);
    theta = std::fabs(r1) < std::fabs(r2) ? r1 : r2;
  }
  if (!(std::fabs(theta) < 1.0)) return false;
  model.ar = {phi};
  model.ma = theta;
  return true;
}

double misfit(const std::vector<double>& corrected, const ArmaModel& model) {
  const std::vector<double> rho = armaAutocorrelation(model, kMaxLag + 1);
  double sum = 0.0;
  for (int k = 1; k <= kMaxLag; ++k) sum += (corrected[k] - rho[k]) * (corrected[k] - rho[k]);
  return sum;
}

enum class Family { Ar, Arma };

struct Observed {
  std::vector<double> autocorrelation;     // pooled residual autocorrelation, 0 .. kMaxLag
  double residualSquares, thermalSquares;  // sum RSS; n * thermal variance
  double oscillationShare;                 // of the total variance
};

// One fixed point: refits `family` until the correction settles; returns the
// corrected fluctuation autocorrelation, and updates w and the model.
bool correctedFit(const Observed& observed, const TemporalDesign& design, Family family, int order,
                  TemporalFit& fit, ArmaModel& model) {
  std::vector<double> corrected = observed.autocorrelation;
  double w = fit.fluctuationShare;
  for (int k = 1; k <= kMaxLag; ++k) corrected[k] /= w;
  std::vector<double> partial;
  for (int round = 0; round <= kMaxCorrectionRounds; ++round) {
    if (family == Family::Ar) {
      if (!levinson(corrected, order, model.ar, partial)) return false;
      model.ma = 0.0;
    } else if (!arma11(corrected[1], corrected[2], model)) {
      return false;
    }
    if (round == kMaxCorrectionRounds) break;
    const std::vector<double> rho = armaAutocorrelation(model, design.volumes);
    const ProjectedNoise projected = projectNoise(design, rho, w);
    // sigma_v^2 = RSS_v / tr(R C R), and w = 1 - n sigma_thermal^2 / sum sigma_v^2.
    const double varianceSum = observed.residualSquares / projected.lagSums[0];
    w = std::clamp(1.0 - observed.thermalSquares / varianceSum - observed.oscillationShare, 0.05,
                   1.0);
    const ProjectedNoise reprojected = projectNoise(design, rho, w);
    for (int k = 1; k <= kMaxLag; ++k) {
      const double expected = reprojected.lagSums[k] / reprojected.lagSums[0];
      corrected[k] = (observed.autocorrelation[k] + (w * rho[k] - expected)) / w;
    }
    fit.projected = reprojected;
    fit.varianceSum = observed.residualSquares / reprojected.lagSums[0];
  }
  fit.fluctuationShare = w;
  fit.corrected = corrected;
  return true;
}

}  // namespace

std::vector<double> armaAutocorrelation(const ArmaModel& model, int lags) {
  const int terms = lags + kImpulseTail;
  std::vector<double> psi(terms, 0.0);
  psi[0] = 1.0;
  for (int j = 1; j < terms; ++j) {
    double value = j == 1 ? model.ma : 0.0;
    for (std::size_t i = 1; i <= model.ar.size() && i <= static_cast<std::size_t>(j); ++i) {
      value += model.ar[i - 1] * psi[j - i];
    }
    psi[j] = value;
  }
  std::vector<double> rho(lags, 0.0);
  for (int k = 0; k < lags; ++k) {
    double sum = 0.0;
    for (int j = 0; j + k < terms; ++j) sum += psi[j] * psi[j + k];
    rho[k] = sum;
  }
  const double variance = rho[0];
  for (double& value : rho) value /= variance;
  return rho;
}

ProjectedNoise projectNoise(const TemporalDesign& design, const std::vector<double>& rho,
                            double w) {
  const int n = design.volumes;
  const std::size_t p = design.columnCount();
  // B = C_f Q, and Q^T B; C = w C_f + (1 - w) I acts through them.
  std::vector<double> b(p * n, 0.0), qtb(p * p, 0.0);
  for (std::size_t c = 0; c < p; ++c) {
    const double* q = design.column(c);
    double* out = b.data() + c * n;
    for (int t = 0; t < n; ++t) {
      double sum = 0.0;
      for (int s = 0; s < n; ++s) sum += rho[std::abs(t - s)] * q[s];
      out[t] = sum;
    }
  }
  for (std::size_t c = 0; c < p; ++c) {
    for (std::size_t d = 0; d < p; ++d) {
      const double* q = design.column(c);
      const double* bd = b.data() + d * n;
      double sum = 0.0;
      for (int t = 0; t < n; ++t) sum += q[t] * bd[t];
      qtb[c * p + d] = sum;
    }
  }
  // R C_f R = C_f - Q B^T - B Q^T + Q (Q^T B) Q^T; with C the white part adds
  // (1 - w)(I - Q Q^T).
  ProjectedNoise projected;
  projected.lagSums.assign(kMaxLag + 1, 0.0);
  projected.diagonal.assign(n, 0.0);
  std::vector<double> qRow(p), qNext(p), bRow(p), bNext(p);
  for (int k = 0; k <= kMaxLag && k < n; ++k) {
    double fluctuation = 0.0, white = 0.0;
    for (int t = 0; t + k < n; ++t) {
      const int s = t + k;
      double value = rho[k];
      double projector = 0.0;
      for (std::size_t c = 0; c < p; ++c) {
        const double qt = design.column(c)[t], qs = design.column(c)[s];
        value -= qt * b[c * n + s] + b[c * n + t] * qs;
        projector += qt * qs;
        for (std::size_t d = 0; d < p; ++d) value += qt * qtb[c * p + d] * design.column(d)[s];
      }
      fluctuation += value;
      white += (k == 0 ? 1.0 : 0.0) - projector;
      if (k == 0) projected.diagonal[t] = value;
    }
    projected.lagSums[k] = w * fluctuation + (1.0 - w) * white;
  }
  double drift = 0.0;
  for (std::size_t c = design.firstCosine(); c < p; ++c) drift += w * qtb[c * p + c] + (1.0 - w);
  projected.driftShare = drift / n;
  return projected;
}

int maxArOrder(const TemporalDesign& design) {
  return std::clamp(design.residualVolumes() / kResidualVolumesPerArCoefficient, 1, kMaxArOrder);
}

namespace {

std::string orderText(int order) { return "AR(" + std::to_string(order) + ")"; }

// The last resorts, when no corrected AR fit is stationary: Yule-Walker on the observed
// autocorrelation itself, else white fluctuation noise.
TemporalFit uncorrectedFit(const Observed& observed, const TemporalDesign& design, TemporalFit fit,
                           int maxOrder, const std::string& reason) {
  std::vector<double> phi, partial;
  fit.usable = true;
  fit.armaMisfit = NAN;
  fit.corrected = observed.autocorrelation;
  if (levinson(observed.autocorrelation, maxOrder, phi, partial)) {
    int order = 1;
    for (int k = 1; k <= maxOrder; ++k) {
      if (std::fabs(partial[k - 1]) > kOrderPartialAutocorrelation) order = k;
    }
    std::copy(partial.begin(), partial.end(), fit.partial.begin());
    levinson(observed.autocorrelation, order, fit.ar.ar, partial);
    fit.fallback = reason + "; " + orderText(order) +
                   " fitted to the observed autocorrelation without the correction";
  } else {
    fit.ar = {};
    fit.fallback = reason +
                   ", nor is the observed autocorrelation once the oscillations are "
                   "taken out; the fluctuation noise is taken as white";
  }
  fit.model = fit.ar;
  fit.arMisfit = misfit(observed.autocorrelation, fit.ar);
  fit.projected =
      projectNoise(design, armaAutocorrelation(fit.model, design.volumes), fit.fluctuationShare);
  fit.varianceSum = observed.residualSquares / fit.projected.lagSums[0];
  return fit;
}

}  // namespace

TemporalFit fitTemporalCorrelation(const TemporalSums& sums, double thermalVariance,
                                   const std::vector<double>& oscillations,
                                   const TemporalDesign& design) {
  TemporalFit fit;
  if (!(sums.lagProducts[0] > 0.0) || !(sums.voxels > 0.0)) return fit;
  Observed observed{std::vector<double>(kMaxLag + 1), sums.residualSquares,
                    sums.voxels * thermalVariance, oscillations.empty() ? 0.0 : oscillations[0]};
  for (int k = 0; k <= kMaxLag; ++k) {
    observed.autocorrelation[k] = sums.lagProducts[k] / sums.lagProducts[0];
    if (k > 0 && !oscillations.empty()) observed.autocorrelation[k] -= oscillations[k];
  }
  const double firstVarianceSum = sums.residualSquares / design.residualVolumes();
  fit.fluctuationShare = std::clamp(
      1.0 - observed.thermalSquares / firstVarianceSum - observed.oscillationShare, 0.05, 1.0);

  // The order rule reads the partial autocorrelations of the largest stationary fit.
  const int maxOrder = maxArOrder(design);
  fit.largestAllowedOrder = maxOrder;
  int largest = maxOrder;
  TemporalFit base = fit;
  ArmaModel full;
  while (largest >= 1 && !correctedFit(observed, design, Family::Ar, largest, base, full)) {
    base = fit;
    --largest;
  }
  const std::string notStationary =
      " is that of no stationary process once corrected for the removed temporal model "
      "and the white share";
  if (largest == 0) {
    return uncorrectedFit(
        observed, design, fit, maxOrder,
        "the corrected autocorrelation fitted by AR(1) to " + orderText(maxOrder) + notStationary);
  }
  fit = base;
  std::vector<double> phi, partial;
  levinson(fit.corrected, largest, phi, partial);
  std::copy(partial.begin(), partial.end(), fit.partial.begin());
  int order = 1;
  for (int k = 1; k <= largest; ++k) {
    if (std::fabs(partial[k - 1]) > kOrderPartialAutocorrelation) order = k;
  }
  const std::vector<double> referenceCorrected = fit.corrected;
  TemporalFit arFit = fit;
  if (!correctedFit(observed, design, Family::Ar, order, arFit, arFit.ar)) {
    arFit = base;  // the fixed point of the chosen order diverged; the largest one did not
    arFit.ar = full;
    arFit.fallback = "the corrected " + orderText(order) + " fit" + notStationary +
                     "; the largest stationary order is used";
  }
  if (largest < maxOrder) {
    arFit.fallback = "the corrected autocorrelation fitted by " + orderText(largest + 1) +
                     notStationary + "; orders up to " + std::to_string(largest) +
                     " were considered";
  }
  arFit.usable = true;
  arFit.model = arFit.ar;
  arFit.partial = fit.partial;
  arFit.arMisfit = misfit(referenceCorrected, arFit.ar);
  arFit.armaMisfit = NAN;  // until an ARMA(1,1) fit exists
  if (arFit.ar.ar.size() >= 2) {
    TemporalFit armaFit = arFit;
    ArmaModel arma;
    if (correctedFit(observed, design, Family::Arma, 1, armaFit, arma)) {
      armaFit.armaMisfit = misfit(referenceCorrected, arma);
      if (armaFit.armaMisfit < arFit.arMisfit) {
        armaFit.model = arma;
        armaFit.arma = true;
        return armaFit;
      }
      arFit.armaMisfit = armaFit.armaMisfit;
    }
  }
  return arFit;
}

}  // namespace tolvane::fit_noise
