// The turn of W vectors of W floats is the transpose at every register width the
// engine compiles for; each width's lane shuffles are their own index arithmetic.
#include <gtest/gtest.h>

#include "engine/register_vectors.h"

namespace {

template <int W>
void expectTurnIsTheTranspose() {
  tolvane::engine::FloatVector<W> v[W];
  for (int i = 0; i < W; ++i)
    for (int k = 0; k < W; ++k) v[i][k] = static_cast<float>(i * W + k);
  tolvane::engine::turn<W>(v);
  int wrong = 0;
  for (int i = 0; i < W; ++i)
    for (int k = 0; k < W; ++k) wrong += v[i][k] != static_cast<float>(k * W + i);
  EXPECT_EQ(wrong, 0) << W << " lanes";
}

TEST(RegisterVectors, TurningIsTransposingAtEveryWidth) {
  expectTurnIsTheTranspose<4>();
  expectTurnIsTheTranspose<8>();
  expectTurnIsTheTranspose<16>();
}

}  // namespace
