// Response shapes other than the canonical: the defaults reproduce the canonical
// two-gamma to the last bit, and the predictors sampled at volume starts equal the
// design matrix's. Their agreement with an independent implementation (scipy's gamma
// density) is checked in tests/tolvane/haemodynamics_test.py.
#include <gtest/gtest.h>

#include <cstring>

#include "design/design_matrix.h"
#include "design/hrf.h"
#include "design/response_shapes.h"

using namespace tolvane::design;

namespace {

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(ResponseShapes, DefaultTwoGammaIsTheCanonicalKernelBitForBit) {
  const ResponseShape shape;
  EXPECT_TRUE(shape.isCanonical());
  for (const double tr : {500.0, 1000.0, 2000.0, 2500.0}) {
    EXPECT_TRUE(sameBits(sampledResponse(shape, tr), sampledTwoGammaHrf(tr))) << tr;
  }
}

TEST(ResponseShapes, PredictorAtVolumeStartsEqualsTheDesignMatrixBitForBit) {
  const Condition condition{"c", {{1500, 2500}, {9000, 9000}, {20000, 41000}}};
  for (const double tr : {800.0, 2000.0}) {
    DesignMatrix matrix;
    matrix.addPredictor("c", 40);
    matrix.setFromCondition(0, condition, TimeUnit::Milliseconds, tr, 1.0f);
    matrix.applyTwoGammaHrf(0, tr);
    const std::vector<float> ours = shapedPredictor(
        ResponseShape{}, conditionFineSignal(condition, TimeUnit::Milliseconds, tr, 40), tr, 40);
    ASSERT_EQ(ours.size(), 40u);
    EXPECT_EQ(std::memcmp(ours.data(), matrix[0].volumeValues.data(), 40 * sizeof(float)), 0) << tr;
  }
}

TEST(ResponseShapes, PeakLatencyOfAGammaIsItsMode) {
  // A gamma density of shape k and scale s peaks at (k - 1) s = delay - dispersion.
  ResponseShape shape;
  shape.model = ResponseModel::Gamma;
  for (const auto& [delay, dispersion] : {std::pair{6.0, 1.0}, {5.3, 0.7}, {8.0, 1.6}}) {
    shape.peakDelaySeconds = delay;
    shape.peakDispersionSeconds = dispersion;
    EXPECT_NEAR(peakLatencySeconds(shape), delay - dispersion, 1e-6) << delay;
  }
}

TEST(ResponseShapes, FirJoinsItsValuesAndFallsToZeroAfterTheLast) {
  ResponseShape shape;
  shape.model = ResponseModel::Fir;
  shape.firValues = {0.0, 1.0, 0.5};
  shape.firStepSeconds = 2.0;
  EXPECT_EQ(responseAt(shape, 1.0), 0.5);
  EXPECT_EQ(responseAt(shape, 3.0), 0.75);
  EXPECT_EQ(responseAt(shape, 5.0), 0.25);
  EXPECT_EQ(responseAt(shape, 6.0), 0.0);
  EXPECT_EQ(peakLatencySeconds(shape), 2.0);
  const std::vector<double> kernel = sampledResponse(shape, 1000.0);
  EXPECT_EQ(kernel.size(), 96u);  // 6 s at 62.5 ms
}
