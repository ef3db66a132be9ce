// The transport commands of vctool. Each takes the arguments after the
// command name and returns the exit status: 0, 1 when something failed,
// USAGE_ERROR for bad arguments (after printing what was wrong).
#pragma once

namespace vctool {

// demo [--seed FILE]
int demoCommand(int argc, char** argv);
// server [options]; client [options]
int serverCommand(int argc, char** argv);
int clientCommand(int argc, char** argv);
// speed [--seconds S]
int speedCommand(int argc, char** argv);

}  // namespace vctool
