// A host that exports the version operation and a few others, but not all 144.
#include <gtest/gtest.h>

#include "plugin/host_table.h"

extern "C" {
bool hvGetVersionOfHelvara(int* major, int* minor, int* sub) {
  *major = 2;
  *minor = 4;
  *sub = 0;
  return true;
}
bool hvLogText(const char*) { return true; }
int* hvGetVOI(int, VOIInfo*) { return nullptr; }
}

TEST(HostTable, LooksUpWhatTheHostExportsAndLeavesTheRestNull) {
  ASSERT_TRUE(host_table::InitHVAccess());
  EXPECT_EQ(host_table::hvGetVersionOfHelvara, &::hvGetVersionOfHelvara);
  EXPECT_EQ(host_table::hvLogText, &::hvLogText);
  EXPECT_EQ(host_table::hvGetVOI, &::hvGetVOI);
  EXPECT_EQ(host_table::hvMessageBox, nullptr);
  EXPECT_EQ(host_table::hvGetHelvaraPath, nullptr);
  EXPECT_EQ(host_table::hvLaunchICADialog, nullptr);
  EXPECT_FALSE(host_table::runOperationsPresent());
}

TEST(HostTable, SecondLookupLeavesTheSameTable) {
  ASSERT_TRUE(host_table::InitHVAccess());
  ASSERT_TRUE(host_table::InitHVAccess());
  EXPECT_EQ(host_table::hvLogText, &::hvLogText);
  EXPECT_EQ(host_table::hvMessageBox, nullptr);
}
