// Statistical tests, correlation and regression.
//
// Conventions: one-based float samples data[1..n]; sums accumulate in float in
// increasing index order; a step marked "in double" widens its float operands with
// static_cast<double> and rounds its stored result with static_cast<float>. Outputs
// that a routine does not compute are left untouched (see statistics.h).
#include "numerics/statistics.h"

#include <cmath>
#include <limits>

#include "numerics/arrays.h"
#include "numerics/sorting.h"
#include "numerics/special_functions.h"

namespace {

// Keeps the correlation-to-t transform finite at r = +-1.
constexpr double kCorrelationGuard = 1.0e-20;
// erfc(|z| / sqrt 2) is the two-sided normal tail of z.
constexpr double kSqrtTwo = 1.4142136;

// Sample means and centred sums of squares and products of x[1..n], y[1..n].
struct CentredSums {
  float sxx = 0.0f;
  float syy = 0.0f;
  float sxy = 0.0f;
};

CentredSums centredSums(const float* x, const float* y, unsigned long n) {
  float sum_x = 0.0f;
  float sum_y = 0.0f;
  for (unsigned long j = 1; j <= n; ++j) {
    sum_x = sum_x + x[j];
    sum_y = sum_y + y[j];
  }
  const float nf = static_cast<float>(n);
  const float mean_x = sum_x / nf;
  const float mean_y = sum_y / nf;
  CentredSums s;
  for (unsigned long j = 1; j <= n; ++j) {
    const float dx = x[j] - mean_x;
    const float dy = y[j] - mean_y;
    s.sxx = s.sxx + dx * dx;
    s.syy = s.syy + dy * dy;
    s.sxy = s.sxy + dx * dy;
  }
  return s;
}

// The accumulation step shared by the incremental correlation and regression: each
// point contributes its deviations from the running means, itself included.
void accumulate(float x, float y, float& count, float& sum_x, float& sum_y, float& sxx, float& syy,
                float& sxy) {
  count = count + 1.0f;
  sum_x = sum_x + x;
  sum_y = sum_y + y;
  const float dx = x - sum_x / count;
  const float dy = y - sum_y / count;
  sxx = sxx + dx * dx;
  syy = syy + dy * dy;
  sxy = sxy + dx * dy;
}

// r = sxy / sqrt(sxx syy) in float, 0 when either sum is zero.
float correlation(float sxx, float syy, float sxy) {
  const float root = std::sqrt(sxx * syy);
  return root > 0.0f ? sxy / root : 0.0f;
}

}  // namespace

// mean = sum / n; variance = (sum of s^2 - (sum of s)^2 / n) / (n - 1) with
// s = data - mean. The second term corrects the rounding error of the mean.
void avevar(float* data, unsigned long n, float* mean, float* variance) {
  const float nf = static_cast<float>(n);
  float sum = 0.0f;
  for (unsigned long j = 1; j <= n; ++j) sum = sum + data[j];
  const float m = sum / nf;
  float corr = 0.0f;
  float sq = 0.0f;
  for (unsigned long j = 1; j <= n; ++j) {
    const float s = data[j] - m;
    corr = corr + s;
    sq = sq + s * s;
  }
  *mean = m;
  *variance = (sq - corr * corr / nf) / static_cast<float>(n - 1);
}

// t = (mean1 - mean2) / sqrt(pooled (1/count1 + 1/count2)) with the pooled variance
// ((count1-1) var1 + (count2-1) var2) / (count1 + count2 - 2); the root and the
// quotient in double.
void ttest(float* data1, unsigned long count1, float* data2, unsigned long count2, float* t,
           float* /*prob*/) {
  float mean1, variance1, mean2, variance2;
  avevar(data1, count1, &mean1, &variance1);
  avevar(data2, count2, &mean2, &variance2);
  const float df = static_cast<float>(count1 + count2 - 2);
  const float pooled =
      (static_cast<float>(count1 - 1) * variance1 + static_cast<float>(count2 - 1) * variance2) /
      df;
  if (pooled == 0.0f) {
    *t = 0.0f;
    return;
  }
  const double spread =
      std::sqrt(static_cast<double>(pooled) *
                (1.0 / static_cast<double>(count1) + 1.0 / static_cast<double>(count2)));
  *t = static_cast<float>(static_cast<double>(mean1 - mean2) / spread);
}

// t = (mean1 - mean2) / sqrt(var1/count1 + var2/count2), the sum in float, the root
// and the quotient in double.
void tutest(float* data1, unsigned long count1, float* data2, unsigned long count2, float* t,
            float* /*prob*/) {
  float mean1, variance1, mean2, variance2;
  avevar(data1, count1, &mean1, &variance1);
  avevar(data2, count2, &mean2, &variance2);
  if (variance1 == 0.0f && variance2 == 0.0f) {
    *t = 0.0f;
    return;
  }
  const float sum = variance1 / static_cast<float>(count1) + variance2 / static_cast<float>(count2);
  *t = static_cast<float>(static_cast<double>(mean1 - mean2) / std::sqrt(static_cast<double>(sum)));
}

// Walks both sorted samples in step, advancing whichever has the smaller next value
// (both on a tie) and tracking the largest gap between the two step functions.
void kstwo(float* data1, unsigned long count1, float* data2, unsigned long count2, float* d,
           float* /*prob*/) {
  sort(count1, data1);
  sort(count2, data2);
  const float n1 = static_cast<float>(count1);
  const float n2 = static_cast<float>(count2);
  float largest = 0.0f;
  float cdf1 = 0.0f;
  float cdf2 = 0.0f;
  unsigned long j1 = 1;
  unsigned long j2 = 1;
  while (j1 <= count1 && j2 <= count2) {
    const float x1 = data1[j1];
    const float x2 = data2[j2];
    const bool step1 = x1 <= x2;
    const bool step2 = x2 <= x1;
    if (!step1 && !step2) {
      // A NaN is unordered: neither walk could advance, and no distance between the
      // distribution functions is defined.
      *d = std::numeric_limits<float>::quiet_NaN();
      return;
    }
    if (step1) {
      cdf1 = static_cast<float>(j1) / n1;
      ++j1;
    }
    if (step2) {
      cdf2 = static_cast<float>(j2) / n2;
      ++j2;
    }
    const float gap = std::fabs(cdf2 - cdf1);
    if (gap > largest) largest = gap;
  }
  *d = largest;
}

// Ranks in place; a run of t equal values from index j gets the rank
// 0.5 (j + j + t - 1) (in double) and adds t^3 - t to the tie sum.
void crank(unsigned long n, float* values, float* tie_sum) {
  float ties = 0.0f;
  unsigned long j = 1;
  while (j < n) {
    if (values[j + 1] != values[j]) {
      values[j] = static_cast<float>(j);
      ++j;
      continue;
    }
    unsigned long stop = j + 1;
    while (stop <= n && values[stop] == values[j]) ++stop;
    const float rank = static_cast<float>(0.5 * static_cast<double>(j + stop - 1));
    for (unsigned long k = j; k < stop; ++k) values[k] = rank;
    const float t = static_cast<float>(stop - j);
    ties = ties + (t * t * t - t);
    j = stop;
  }
  if (j == n) values[n] = static_cast<float>(n);
  *tie_sum = ties;
}

// Ranks both samples (keeping each pair together), then compares the sum of squared
// rank differences d with its mean and variance under independence, both corrected
// for ties; rho is the rank correlation with the same corrections.
void spear(float* data1, float* data2, unsigned long n, float* d, float* d_z, float* d_prob,
           float* rho, float* rho_prob) {
  const long last = static_cast<long>(n);
  float* rank1 = vector(1, last);
  float* rank2 = vector(1, last);
  for (unsigned long j = 1; j <= n; ++j) {
    rank1[j] = data1[j];
    rank2[j] = data2[j];
  }
  float ties1, ties2;
  sort2(n, rank1, rank2);
  crank(n, rank1, &ties1);
  sort2(n, rank2, rank1);
  crank(n, rank2, &ties2);
  float sum = 0.0f;
  for (unsigned long j = 1; j <= n; ++j) {
    const float diff = rank1[j] - rank2[j];
    sum = sum + diff * diff;
  }
  *d = sum;

  const float nf = static_cast<float>(n);
  const float cube = nf * nf * nf - nf;
  const float tie_factor = static_cast<float>((1.0 - static_cast<double>(ties1 / cube)) *
                                              (1.0 - static_cast<double>(ties2 / cube)));
  const double nd = static_cast<double>(nf);
  const float next_squared = (nf + 1.0f) * (nf + 1.0f);
  const float d_variance =
      static_cast<float>(nd * ((nd - 1.0) * nd) * static_cast<double>(next_squared) / 36.0 *
                         static_cast<double>(tie_factor));
  if (d_variance == 0.0f || tie_factor == 0.0f) {
    *rho = 0.0f;
    *rho_prob = 0.0f;
  } else {
    const double tie_total = static_cast<double>(ties1) + static_cast<double>(ties2);
    const float d_mean = static_cast<float>(static_cast<double>(cube) / 6.0 - tie_total / 12.0);
    *d_z = static_cast<float>(static_cast<double>(sum - d_mean) /
                              std::sqrt(static_cast<double>(d_variance)));
    *d_prob = erfcc(static_cast<float>(std::fabs(static_cast<double>(*d_z)) / kSqrtTwo));
    *rho = static_cast<float>(
        (1.0 - (6.0 / static_cast<double>(cube)) * (static_cast<double>(sum) + tie_total / 12.0)) /
        std::sqrt(static_cast<double>(tie_factor)));
  }
  free_vector(rank2, 1, last);
  free_vector(rank1, 1, last);
}

void pearsn(float* x, float* y, unsigned long n, float* r, float* /*prob*/, float* /*z*/) {
  const CentredSums s = centredSums(x, y, n);
  *r = correlation(s.sxx, s.syy, s.sxy);
}

// r as in pearsn but with the root and quotient in double; its probability through
// t = r sqrt(df / ((1 - r)(1 + r))), df = n - 2, and the two-sided t tail.
void pearsn_prob(float* x, float* y, unsigned long n, float* r, float* prob, float* /*z*/) {
  const CentredSums s = centredSums(x, y, n);
  const float product = s.sxx * s.syy;
  float value = 0.0f;
  if (std::sqrt(product) > 0.0f) {
    value =
        static_cast<float>(static_cast<double>(s.sxy) / std::sqrt(static_cast<double>(product)));
  }
  *r = value;
  const float df = static_cast<float>(n - 2);
  const double rd = static_cast<double>(value);
  const float t = static_cast<float>(
      rd * std::sqrt(static_cast<double>(df) /
                     ((1.0 - rd + kCorrelationGuard) * (1.0 + rd + kCorrelationGuard))));
  *prob = betai(0.5f * df, 0.5f, df / (t * t + df));
}

void pearsn_inc(float x, float y, float& count, float& sum_x, float& sum_y, float& sxx, float& syy,
                float& sxy, float* r) {
  accumulate(x, y, count, sum_x, sum_y, sxx, syy, sxy);
  *r = correlation(sxx, syy, sxy);
}

void regr_inc(float x, float y, float& count, float& sum_x, float& sum_y, float& sxx, float& syy,
              float& sxy, float* intercept, float* slope, float* mean_y) {
  accumulate(x, y, count, sum_x, sum_y, sxx, syy, sxy);
  const float b = sxx > 0.0f ? sxy / sxx : 0.0f;
  *slope = b;
  *mean_y = sum_y / count;
  *intercept = sum_y / count - (b * sum_x) / count;
}

// Straight-line least squares with the x values centred on their (weighted) mean, which
// keeps the normal equations well conditioned: slope = sum t y / sum t^2 with
// t = x - x_mean (divided by sigma when weighted), intercept = (sy - sx slope) / sw.
void fit(float* x, float* y, int n, float* sigma, int use_sigma, float* intercept, float* slope,
         float* intercept_sd, float* slope_sd, float* chi2, float* q) {
  float b = 0.0f;
  float sx = 0.0f;
  float sy = 0.0f;
  float sw = 0.0f;
  if (use_sigma != 0) {
    for (int i = 1; i <= n; ++i) {
      const float w = static_cast<float>(1.0 / static_cast<double>(sigma[i] * sigma[i]));
      sw = sw + w;
      sx = sx + x[i] * w;
      sy = sy + y[i] * w;
    }
  } else {
    for (int i = 1; i <= n; ++i) {
      sx = sx + x[i];
      sy = sy + y[i];
    }
    sw = static_cast<float>(n);
  }
  const float x_mean = sx / sw;
  float stt = 0.0f;
  for (int i = 1; i <= n; ++i) {
    if (use_sigma != 0) {
      const float t = (x[i] - x_mean) / sigma[i];
      stt = stt + t * t;
      b = b + t * y[i] / sigma[i];
    } else {
      const float t = x[i] - x_mean;
      stt = stt + t * t;
      b = b + t * y[i];
    }
  }
  b = b / stt;
  const float a = (sy - sx * b) / sw;
  *slope = b;
  *intercept = a;
  float a_sd = static_cast<float>(
      std::sqrt((1.0 + static_cast<double>(sx * sx / (sw * stt))) / static_cast<double>(sw)));
  float b_sd = static_cast<float>(std::sqrt(1.0 / static_cast<double>(stt)));

  float sum = 0.0f;
  if (use_sigma == 0) {
    for (int i = 1; i <= n; ++i) {
      const float residual = (y[i] - a) - b * x[i];
      sum = sum + residual * residual;
    }
    *q = 1.0f;
    // Without given deviations, the scatter about the line estimates them.
    const float scale = std::sqrt(sum / static_cast<float>(n - 2));
    a_sd = a_sd * scale;
    b_sd = b_sd * scale;
  } else {
    for (int i = 1; i <= n; ++i) {
      const float residual = ((y[i] - a) - b * x[i]) / sigma[i];
      sum = sum + residual * residual;
    }
    *q = gammq(static_cast<float>(0.5 * static_cast<double>(n - 2)), 0.5f * sum);
  }
  *chi2 = sum;
  *intercept_sd = a_sd;
  *slope_sd = b_sd;
}
