// The VTC's storage: every page resident and zero before anyone writes to it, whatever
// mix of huge and ordinary pages the slices were given.
#include "host/session/populated_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

using hvhost::PopulatedMemory;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Pages of [data, data + bytes) that are not resident.
std::size_t pagesNotResident(const void* data, std::size_t bytes) {
  const auto pageBytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((bytes + pageBytes - 1) / pageBytes);
  if (::mincore(const_cast<void*>(data), bytes, resident.data()) != 0) return resident.size();
  return static_cast<std::size_t>(
      std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return !(r & 1); }));
}

}  // namespace

TEST(PopulatedMemory, EveryPageIsResidentAndZeroBeforeTheFirstStore) {
  // One page; a part of a slice; several slices and a tail that ends inside a page;
  // enough slices to be shared between threads on a machine of two cores or more.
  for (const std::size_t bytes :
       {std::size_t{1}, 5 * kMiB, 3 * 16 * kMiB + 4097, 9 * 16 * kMiB + 4097}) {
    const PopulatedMemory memory(bytes);
    ASSERT_NE(memory.data(), nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory.data()) % (2 * kMiB), 0u) << bytes;
    EXPECT_EQ(pagesNotResident(memory.data(), bytes), 0u) << bytes;
    const auto* const values = static_cast<const unsigned char*>(memory.data());
    EXPECT_TRUE(std::all_of(values, values + bytes, [](unsigned char v) { return v == 0; }))
        << bytes;
  }
}

TEST(PopulatedMemory, MoreThanTheAddressSpaceHoldsIsRefusedWithoutData) {
  const PopulatedMemory memory(std::size_t{1} << 62);
  EXPECT_EQ(memory.data(), nullptr);
}
