// The host program's commands. Each takes the loaded library and the
// arguments after the command's name and returns the exit status: 0 for
// success, 1 for a failure, 2 for bad arguments.
#pragma once

#include "library.h"

namespace vchost {

// session CREDENTIALS_DIR: the scripted run whose transcript is compared
// between platforms.
int runSession(const Library& library, int argc, char** argv);
// server / client OPTIONS: TCP endpoints relaying standard input to the peer
// and the peer's data to standard output.
int runServer(const Library& library, int argc, char** argv);
int runClient(const Library& library, int argc, char** argv);

}  // namespace vchost
