// The module's face towards the host, exercised through the shared module itself.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <cstring>
#include <typeinfo>

#include "plugin/tolvane_plugin.h"

namespace {

constexpr const char* kDescription =
    "This tool allows to create simulated volume time course (VTC) data. Based on the position "
    "of the VMR cross or a set of defined Volumes-Of-Interest (VOIs), time courses are created "
    "with a time waveform based on selected conditions of a loaded protocol. The created voxel "
    "time courses are convolved with a hemodynamic response function. Finally Gaussian noise is "
    "added to all voxel time courses. The tool is implemented as a plugin and is provided with "
    "the source code to show how a fully-fledged plugin can be created. The simulated data "
    "should be used only to test data analysis methods for research and education.<br>";

using Slot = bool (*)(HelvaraPluginInterface*);
using DestructorSlot = void (*)(HelvaraPluginInterface*);

const void* const* virtualTable(const HelvaraPluginInterface* object) {
  return *reinterpret_cast<const void* const* const*>(object);
}

}  // namespace

TEST(EntryPoints, TextsAreExactToTheByte) {
  EXPECT_STREQ(getPluginName(), "Tolvane");
  EXPECT_STREQ(getAuthor(), "<i>Ostrander</i>, Quillon B.V.");
  ASSERT_NE(getHelpFile(), nullptr);
  EXPECT_STREQ(getHelpFile(), "");
  EXPECT_STREQ(getPluginDescription(), kDescription);
  EXPECT_EQ(std::strlen(getPluginDescription()), 618u);
  EXPECT_EQ(getPluginDescription(), getPluginDescription());  // one constant, never a copy
}

TEST(PluginObject, AnswersThroughTheInterfaceInSlotOrder) {
  HelvaraPluginInterface* plugin = createPlugin();
  ASSERT_NE(plugin, nullptr);
  EXPECT_TRUE(plugin->isAvailable());  // no host is reachable here
  const void* const* slots = virtualTable(plugin);
  // Slot 1 is isAvailable: calling it by position must give its answer.
  EXPECT_TRUE(reinterpret_cast<Slot>(const_cast<void*>(slots[1]))(plugin));
  // Slot 0 is execute: without a host the run cannot set up its table and says false.
  EXPECT_FALSE(reinterpret_cast<Slot>(const_cast<void*>(slots[0]))(plugin));
  EXPECT_TRUE(static_cast<TolvanePlugin*>(plugin)->checkPluginAvailability());
  // Slot 3 is the deleting destructor: this is how a host ends the object.
  reinterpret_cast<DestructorSlot>(const_cast<void*>(slots[3]))(plugin);
}

TEST(PluginObject, CarriesTypeInformationWithTheInterfaceAsItsSinglePublicBase) {
  HelvaraPluginInterface* plugin = createPlugin();
  EXPECT_EQ(typeid(*plugin), typeid(TolvanePlugin));
  const auto* info = dynamic_cast<const abi::__si_class_type_info*>(&typeid(TolvanePlugin));
  ASSERT_NE(info, nullptr) << "expected single, public, non-virtual inheritance";
  EXPECT_EQ(*info->__base_type, typeid(HelvaraPluginInterface));
  EXPECT_EQ(static_cast<void*>(plugin), static_cast<void*>(dynamic_cast<TolvanePlugin*>(plugin)));
  releasePluginObject(plugin);
}

TEST(PluginObject, EachCreationIsIndependent) {
  HelvaraPluginInterface* first = createPlugin();
  HelvaraPluginInterface* second = createPlugin();
  EXPECT_NE(first, second);
  delete static_cast<TolvanePlugin*>(first);  // the class's own virtual destructor
  EXPECT_TRUE(second->isAvailable());
  releasePluginObject(second);
}

TEST(VersionCheck, ComparesTriplesLexicographically) {
  EXPECT_TRUE(checkVersionGreaterEqualVersion(2, 0, 0, 2, 0, 0));
  EXPECT_FALSE(checkVersionGreaterEqualVersion(1, 99, 99, 2, 0, 0));
  EXPECT_FALSE(checkVersionGreaterEqualVersion(2, 0, -1, 2, 0, 0));
  EXPECT_TRUE(checkVersionGreaterEqualVersion(3, -5, -5, 2, 0, 0));
  EXPECT_TRUE(checkVersionGreaterEqualVersion(2, 1, -7, 2, 0, 0));
  EXPECT_FALSE(checkVersionGreaterEqualVersion(1, 9, 9, 2, 0, 0));
}
