// hvhost: runs a plug-in module in place of the desktop application. Everything but
// the exported operations lives in hvhost_core.
#include "host/command_line.h"

int main(int argc, char** argv) { return hvhost::runCommandLine(argc, argv); }
