// Entry points, texts and the non-run members of the plug-in object.
#include "plugin/tolvane_plugin.h"

namespace {

const char* const PluginDescription =
    "This tool allows to create simulated volume time course (VTC) data. Based on the position "
    "of the VMR cross or a set of defined Volumes-Of-Interest (VOIs), time courses are created "
    "with a time waveform based on selected conditions of a loaded protocol. The created voxel "
    "time courses are convolved with a hemodynamic response function. Finally Gaussian noise is "
    "added to all voxel time courses. The tool is implemented as a plugin and is provided with "
    "the source code to show how a fully-fledged plugin can be created. The simulated data "
    "should be used only to test data analysis methods for research and education.<br>";

}  // namespace

extern "C" {

const char* getPluginName() { return "Tolvane"; }
const char* getPluginDescription() { return PluginDescription; }
const char* getAuthor() { return "<i>Ostrander</i>, Quillon B.V."; }
const char* getHelpFile() { return ""; }
HelvaraPluginInterface* createPlugin() { return new TolvanePlugin; }

}  // extern "C"

bool TolvanePlugin::isAvailable() const { return true; }
bool TolvanePlugin::checkPluginAvailability() const { return true; }
TolvanePlugin::~TolvanePlugin() = default;

bool checkVersionGreaterEqualVersion(int major, int minor, int sub, int reqMajor, int reqMinor,
                                     int reqSub) {
  if (major > reqMajor) return true;
  if (major < reqMajor) return false;
  if (minor > reqMinor) return true;
  if (minor < reqMinor) return false;
  return sub >= reqSub;
}
