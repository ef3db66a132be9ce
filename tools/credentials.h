// The credential commands of vctool. Each takes the arguments after the
// command name and returns the exit status, USAGE_ERROR for bad arguments.
#pragma once

namespace vctool {

constexpr int USAGE_ERROR = 2;

// cert FILE...
int certCommand(int argc, char** argv);
// key FILE [--pass-phrase-file F] [--cert CERT.pem]
int keyCommand(int argc, char** argv);
// verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] CERT.pem
int verifyCommand(int argc, char** argv);

}  // namespace vctool
