// Sorting and selection. Orders are checked against std::sort; the exact
// arrangements that are pinned down (companions among equal keys, the select
// arrangement) are compared element for element.
#include "numerics/sorting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "numerics/arrays.h"

namespace {

// One-based array with sentinels at index 0 and n + 1, which no routine may touch.
template <typename T>
struct Guarded {
  static constexpr T kSentinel = static_cast<T>(12345);
  std::vector<T> storage;
  explicit Guarded(const std::vector<T>& values) : storage(values.size() + 2, kSentinel) {
    std::copy(values.begin(), values.end(), storage.begin() + 1);
  }
  T* data() { return storage.data(); }
  unsigned long n() const { return storage.size() - 2; }
  std::vector<T> values() const { return {storage.begin() + 1, storage.end() - 1}; }
  bool sentinelsIntact() const {
    return storage.front() == kSentinel && storage.back() == kSentinel;
  }
};

enum class Shape { kRandom, kSorted, kReversed, kAllEqual, kFewDistinct };

std::string name(Shape shape) {
  switch (shape) {
    case Shape::kRandom:
      return "random";
    case Shape::kSorted:
      return "sorted";
    case Shape::kReversed:
      return "reversed";
    case Shape::kAllEqual:
      return "all equal";
    case Shape::kFewDistinct:
      return "few distinct";
  }
  return "";
}

std::vector<float> makeInput(Shape shape, std::size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1000.0f, 1000.0f);
  std::vector<float> values(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::kRandom:
        values[i] = uniform(generator);
        break;
      case Shape::kSorted:
        values[i] = static_cast<float>(i) - 7.5f;
        break;
      case Shape::kReversed:
        values[i] = static_cast<float>(n - i) * 0.25f;
        break;
      case Shape::kAllEqual:
        values[i] = 3.0f;
        break;
      case Shape::kFewDistinct:
        values[i] = static_cast<float>(generator() % 4);
        break;
    }
  }
  return values;
}

const Shape kShapes[] = {Shape::kRandom, Shape::kSorted, Shape::kReversed, Shape::kAllEqual,
                         Shape::kFewDistinct};
// Sizes around the insertion limit (7 elements) and the partition boundaries, plus
// sizes large enough for several levels of the work stack.
const std::size_t kSizes[] = {1, 2, 3, 6, 7, 8, 9, 15, 16, 17, 100, 1001, 65536};

// Every rank for short arrays; the ends, the middle and a few others for long ones.
std::vector<std::size_t> ranks(std::size_t n) {
  if (n <= 17) {
    std::vector<std::size_t> all(n);
    for (std::size_t k = 1; k <= n; ++k) all[k - 1] = k;
    return all;
  }
  return {1, 2, n / 3, n / 2, n / 2 + 1, n - 1, n};
}

std::vector<float> sorted(std::vector<float> values) {
  std::sort(values.begin(), values.end());
  return values;
}

}  // namespace

TEST(Sort, OrdersEveryShapeAndSizeLikeStdSortWithoutTouchingOutsideTheArray) {
  for (Shape shape : kShapes) {
    for (std::size_t n : kSizes) {
      const auto input = makeInput(shape, n, static_cast<unsigned>(n));
      Guarded<float> array(input);
      sort(array.n(), array.data());
      EXPECT_EQ(array.values(), sorted(input)) << name(shape) << " n=" << n;
      EXPECT_TRUE(array.sentinelsIntact()) << name(shape) << " n=" << n;
    }
  }
}

TEST(Sort, ZeroLengthIsLeftAloneInsteadOfPartitioningOutsideTheArray) {
  // n = 0 is outside the routines' range of use; as built it returns at once.
  Guarded<float> keys(std::vector<float>{});
  Guarded<float> companion(std::vector<float>{});
  sort(0, keys.data());
  sort2(0, keys.data(), companion.data());
  EXPECT_TRUE(keys.sentinelsIntact());
  EXPECT_TRUE(companion.sentinelsIntact());
}

TEST(Sort2, MovesTheCompanionExactlyWithItsKeyForEveryShapeAndSize) {
  for (Shape shape : kShapes) {
    for (std::size_t n : kSizes) {
      const auto input = makeInput(shape, n, static_cast<unsigned>(n) + 1);
      std::vector<float> origin(n);
      for (std::size_t i = 0; i < n; ++i) origin[i] = static_cast<float>(i + 1);
      Guarded<float> keys(input);
      Guarded<float> companion(origin);
      sort2(keys.n(), keys.data(), companion.data());
      EXPECT_EQ(keys.values(), sorted(input)) << name(shape) << " n=" << n;
      // The companion holds each key's original position: a permutation, and every
      // key is the one that stood there.
      const auto where = companion.values();
      const auto result = keys.values();
      EXPECT_EQ(sorted(where), origin);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(result[i], input[static_cast<std::size_t>(where[i]) - 1])
            << name(shape) << " n=" << n << " i=" << i;
      }
      EXPECT_TRUE(keys.sentinelsIntact() && companion.sentinelsIntact());
    }
  }
}

TEST(Sort2, PinnedCompanionOrders) {
  {
    Guarded<float> keys({3, 1, 2});
    Guarded<float> companion({30, 10, 20});
    sort2(3, keys.data(), companion.data());
    EXPECT_EQ(keys.values(), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(companion.values(), (std::vector<float>{10, 20, 30}));
  }
  {
    // Nine keys: one partition, then insertion on both parts.
    Guarded<float> keys({2, 1, 2, 1, 2, 1, 2, 1, 2});
    Guarded<float> companion({1, 2, 3, 4, 5, 6, 7, 8, 9});
    sort2(9, keys.data(), companion.data());
    EXPECT_EQ(keys.values(), (std::vector<float>{1, 1, 1, 1, 2, 2, 2, 2, 2}));
    EXPECT_EQ(companion.values(), (std::vector<float>{6, 8, 4, 2, 1, 5, 7, 3, 9}));
  }
  {
    // Insertion alone keeps equal keys in their order.
    Guarded<float> keys({1, 0, 1, 0});
    Guarded<float> companion({1, 2, 3, 4});
    sort2(4, keys.data(), companion.data());
    EXPECT_EQ(keys.values(), (std::vector<float>{0, 0, 1, 1}));
    EXPECT_EQ(companion.values(), (std::vector<float>{2, 4, 1, 3}));
  }
}

TEST(Sort2, SingleElementIsLeftUnchanged) {
  Guarded<float> keys({-4.5f});
  Guarded<float> companion({7});
  sort2(1, keys.data(), companion.data());
  EXPECT_EQ(keys.values(), std::vector<float>{-4.5f});
  EXPECT_EQ(companion.values(), std::vector<float>{7});
}

// Equal keys split every subarray exactly in half (both scans stop at every element),
// which is the deepest the work stack can get: a subarray of L elements leaves two
// parts of (L - 1) / 2. With 25 pairs waiting and the current part still longer than 7,
// the 26th push overflows sort2's 50 entries; the smallest such n is 9 * 2^25 - 1
// (n - 1 sorts completely; measured, not repeated here for its cost). sort's 60 entries
// would need 9 * 2^30 - 1 floats (36 GiB), more than these machines hold, so its
// overflow is not tested.
TEST(Sort2DeathTest, TwentySixWaitingSubarraysOverflowTheWorkStack) {
  constexpr unsigned long kSmallestOverflowingLength = 9ul * (1ul << 25) - 1;
  EXPECT_EXIT(
      {
        std::vector<float> keys(kSmallestOverflowingLength + 1, 1.0f);
        std::vector<float> companion(kSmallestOverflowingLength + 1, 2.0f);
        sort2(kSmallestOverflowingLength, keys.data(), companion.data());
      },
      testing::ExitedWithCode(1),
      "Vellicor run-time error...\nNSTACK too small in sort2.\n...now exiting to system...");
}

TEST(Hpsort, OrdersEveryShapeAndSizeLikeStdSort) {
  for (Shape shape : kShapes) {
    for (std::size_t n : kSizes) {
      const auto input = makeInput(shape, n, static_cast<unsigned>(n) + 2);
      Guarded<float> array(input);
      hpsort(array.n(), array.data());
      EXPECT_EQ(array.values(), sorted(input)) << name(shape) << " n=" << n;
      EXPECT_TRUE(array.sentinelsIntact());
    }
  }
}

TEST(Hpsort, PinnedExampleAndTrivialLengths) {
  Guarded<float> array({5, 3, 9, 1, 7, 2, 8});
  hpsort(7, array.data());
  EXPECT_EQ(array.values(), (std::vector<float>{1, 2, 3, 5, 7, 8, 9}));

  Guarded<float> empty(std::vector<float>{});
  hpsort(0, empty.data());
  EXPECT_TRUE(empty.sentinelsIntact());
  Guarded<float> single({42});
  hpsort(1, single.data());
  EXPECT_EQ(single.values(), std::vector<float>{42});
}

TEST(Select, ReturnsTheKthSmallestAndPartitionsAroundItForEveryShapeSizeAndK) {
  for (Shape shape : kShapes) {
    for (std::size_t n : kSizes) {
      const auto input = makeInput(shape, n, static_cast<unsigned>(n) + 3);
      const auto reference = sorted(input);
      for (std::size_t k : ranks(n)) {
        Guarded<float> array(input);
        const float kth = select(k, array.n(), array.data());
        const auto out = array.values();
        ASSERT_EQ(kth, reference[k - 1]) << name(shape) << " n=" << n << " k=" << k;
        ASSERT_EQ(out[k - 1], kth);
        for (std::size_t i = 0; i < k - 1; ++i) ASSERT_LE(out[i], kth);
        for (std::size_t i = k; i < n; ++i) ASSERT_GE(out[i], kth);
        ASSERT_EQ(sorted(out), reference);
        ASSERT_TRUE(array.sentinelsIntact());
      }
    }
  }
}

TEST(Select, PinnedArrangementAndSingleElement) {
  Guarded<float> array({5, 3, 9, 1, 7, 2, 8});
  EXPECT_EQ(select(4, 7, array.data()), 5.0f);
  EXPECT_EQ(array.values(), (std::vector<float>{1, 3, 2, 5, 7, 9, 8}));

  Guarded<float> single({-1.5f});
  EXPECT_EQ(select(1, 1, single.data()), -1.5f);
  EXPECT_EQ(single.values(), std::vector<float>{-1.5f});
}

TEST(SelectUshort, PinnedArrangementAndUnsignedOrder) {
  Guarded<unsigned short> array({5, 3, 9, 1, 7, 2, 8});
  EXPECT_EQ(select_ushort(4, 7, array.data()), 5);
  EXPECT_EQ(array.values(), (std::vector<unsigned short>{1, 3, 2, 5, 7, 9, 8}));

  // 40000 is above 32767: as a signed 16-bit value it would be the smallest.
  Guarded<unsigned short> wide({40000, 1, 2});
  EXPECT_EQ(select_ushort(3, 3, wide.data()), 40000);
  Guarded<unsigned short> wide2({40000, 1, 2});
  EXPECT_EQ(select_ushort(1, 3, wide2.data()), 1);
}

TEST(SelectUshort, AgreesWithStdSortOnTheFullRangeForEveryShapeAndSize) {
  std::mt19937 generator(99);
  for (Shape shape : kShapes) {
    for (std::size_t n : kSizes) {
      std::vector<unsigned short> input(n);
      const auto floats = makeInput(shape, n, static_cast<unsigned>(n) + 4);
      for (std::size_t i = 0; i < n; ++i) {
        // Spread over 0 .. 65535 so that the upper half is exercised.
        input[i] = shape == Shape::kRandom
                       ? static_cast<unsigned short>(generator())
                       : static_cast<unsigned short>(floats[i] * 64.0f + 32768.0f);
      }
      auto reference = input;
      std::sort(reference.begin(), reference.end());
      for (std::size_t k : {std::size_t{1}, (n + 1) / 2, n}) {
        Guarded<unsigned short> array(input);
        const unsigned short kth = select_ushort(k, array.n(), array.data());
        const auto out = array.values();
        ASSERT_EQ(kth, reference[k - 1]) << name(shape) << " n=" << n << " k=" << k;
        for (std::size_t i = 0; i < k - 1; ++i) ASSERT_LE(out[i], kth);
        for (std::size_t i = k; i < n; ++i) ASSERT_GE(out[i], kth);
        ASSERT_TRUE(array.sentinelsIntact());
      }
    }
  }
}

TEST(Sort, AllRoutinesAgreeOnOneRandomArrayThroughTheLibraryAllocator) {
  // Arrays from vector(1, n) have no element 0 or n + 1: the sanitizer build catches any
  // access outside 1..n.
  constexpr unsigned long kLength = 5000;
  const auto input = makeInput(Shape::kRandom, kLength, 5);
  const auto reference = sorted(input);
  float* quick = vector(1, kLength);
  float* heap = vector(1, kLength);
  float* keys = vector(1, kLength);
  float* companion = vector(1, kLength);
  float* selected = vector(1, kLength);
  for (unsigned long i = 1; i <= kLength; ++i) {
    quick[i] = heap[i] = keys[i] = selected[i] = input[i - 1];
    companion[i] = -input[i - 1];
  }
  sort(kLength, quick);
  hpsort(kLength, heap);
  sort2(kLength, keys, companion);
  for (unsigned long i = 1; i <= kLength; ++i) {
    ASSERT_EQ(quick[i], reference[i - 1]);
    ASSERT_EQ(heap[i], reference[i - 1]);
    ASSERT_EQ(keys[i], reference[i - 1]);
    ASSERT_EQ(companion[i], -reference[i - 1]);
  }
  EXPECT_EQ(select(kLength / 3, kLength, selected), reference[kLength / 3 - 1]);
  free_vector(selected, 1, kLength);
  free_vector(companion, 1, kLength);
  free_vector(keys, 1, kLength);
  free_vector(heap, 1, kLength);
  free_vector(quick, 1, kLength);
}
