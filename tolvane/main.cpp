// tolvane, the research program: see command_line.h.
#include "tolvane/command_line.h"

int main(int argc, char** argv) { return tolvane::runCommandLine(argc, argv); }
