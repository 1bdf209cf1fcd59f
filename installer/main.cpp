// OrvaluneInstaller: installs the client bundle it carries for the server named in its
// own bundle's name. Takes no options; all output goes to the system log.
#include <signal.h>

#include "installer/InstallerMain.h"
#include "installer/mac/ClientInstaller.h"
#include "platform/HomeDirectory.h"

int main(int argc, char** argv) {
  // A file-size limit must fail the write that exceeds it (and so the install), not
  // end the process before it can say so.
  ::signal(SIGXFSZ, SIG_IGN);
  platform::AnchorHomeDirectory();
  // An empty argument vector gives an empty program path: no address, a plain install.
  const std::string programPath = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
  varnesk::ClientInstaller installer;
  return varnesk::RunInstaller(programPath, installer);
}
