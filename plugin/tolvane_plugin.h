// The plug-in object and the module's exported entry points.
//
// Entry points (C linkage, plain symbol names, callable at any time, never touching
// the host): the four texts are static storage that the host must not free;
// createPlugin hands a new object's ownership to the host.
#pragma once

#include "plugin/helvara_plugin_interface.h"

// Holds no data: a run's state lives in the run, and what outlives a run (the host
// function table, the random generator) is module-level.
class TolvanePlugin : public HelvaraPluginInterface {
 public:
  TolvanePlugin() = default;
  bool execute() override;            // one complete simulation run
  bool isAvailable() const override;  // always true; does not touch the host
  virtual ~TolvanePlugin();
  bool checkPluginAvailability() const;  // always true
};

extern "C" {
const char* getPluginName();
const char* getPluginDescription();
const char* getAuthor();
const char* getHelpFile();
HelvaraPluginInterface* createPlugin();
}

// True when (major, minor, sub) is at least (reqMajor, reqMinor, reqSub) in
// lexicographic order.
bool checkVersionGreaterEqualVersion(int major, int minor, int sub, int reqMajor, int reqMinor,
                                     int reqSub);
