// A host that lacks the one mandatory operation, hvGetVersionOfHelvara.
#include <gtest/gtest.h>

#include "plugin/host_table.h"

extern "C" bool hvLogText(const char*) { return true; }

TEST(HostTable, FailsWithoutTheVersionOperationAndLooksUpNothingElse) {
  EXPECT_FALSE(host_table::InitHVAccess());
  EXPECT_EQ(host_table::hvGetVersionOfHelvara, nullptr);
  EXPECT_EQ(host_table::hvLogText, nullptr);  // the lookup stopped before it
}
