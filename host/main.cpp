// hvhost: runs a plug-in module in place of the desktop application. Everything but
// the exported operations lives in hvhost_core.
#include <csignal>

#include "host/command_line.h"

int main(int argc, char** argv) {
  // Past a file size limit, a write should fail and be reported like a full disk,
  // rather than end hvhost by a signal with a half-written temporary file.
  std::signal(SIGXFSZ, SIG_IGN);
  return hvhost::runCommandLine(argc, argv);
}
