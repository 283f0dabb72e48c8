// Placeholder until the run lands: the tool reports that it did not complete.
#include "plugin/tolvane_plugin.h"

bool TolvanePlugin::execute() { return false; }
