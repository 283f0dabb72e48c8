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
  ASSERT_TRUE(host::InitHVAccess());
  EXPECT_EQ(host::hvGetVersionOfHelvara, &::hvGetVersionOfHelvara);
  EXPECT_EQ(host::hvLogText, &::hvLogText);
  EXPECT_EQ(host::hvGetVOI, &::hvGetVOI);
  EXPECT_EQ(host::hvMessageBox, nullptr);
  EXPECT_EQ(host::hvGetHelvaraPath, nullptr);
  EXPECT_EQ(host::hvLaunchICADialog, nullptr);
  EXPECT_FALSE(host::runOperationsPresent());
}

TEST(HostTable, SecondLookupLeavesTheSameTable) {
  ASSERT_TRUE(host::InitHVAccess());
  ASSERT_TRUE(host::InitHVAccess());
  EXPECT_EQ(host::hvLogText, &::hvLogText);
  EXPECT_EQ(host::hvMessageBox, nullptr);
}
