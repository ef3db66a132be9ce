// vchost: a host program for the shipped library, one source for Windows and
// Linux. On Windows it loads veilcastnet32.dll the way any host of it must:
// by file name, and each of the eleven operations by its ordinal, since the
// export table carries no names. On Linux it loads libveilcastnet32.so and
// finds the same operations by name. Above that the commands are the same
// code, so what they print can be compared between the platforms.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "library.h"
#include "platform.h"

namespace vchost {

std::string resultText(const Library& library, int32_t code) {
    const char* text = library.errorText(code);
    return std::to_string(code) + " (" + (text != nullptr ? text : "no text") + ")";
}

namespace {

// gather: seeds the generator with no seed file, so the library asks the
// user for mouse movements and key presses in its own window.
int runGather(const Library& library, int argc, char** argv) {
    (void)argv;
    if (argc != 0) {
        std::fprintf(stderr, "vchost: gather takes no arguments\n");
        return 2;
    }
    const int32_t result =
        library.initialize(nullptr, programInstance(), nullptr, nullptr, nullptr);
    std::printf("vcInitialize: %s\n", resultText(library, result).c_str());
    library.terminate();
    return result == VC_OK ? 0 : 1;
}

struct Command {
    const char* name;
    const char* summary;
    // The arguments after the command's name.
    int (*run)(const Library& library, int argc, char** argv);
};

constexpr Command COMMANDS[] = {
    {"gather", "seed from the mouse-and-keyboard window; exit 0 when vcInitialize answers 0",
     runGather},
    {"session", "CREDENTIALS_DIR: every operation in one scripted run, printed as a transcript",
     runSession},
    {"server", "OPTIONS: accept one TCP connection, relay standard input and output (as vctool)",
     runServer},
    {"client", "OPTIONS: connect over TCP, relay standard input and output (as vctool)", runClient},
};

int usage() {
    std::fprintf(stderr, "usage: vchost COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const Command& command : COMMANDS) {
        std::fprintf(stderr, "  %-8s %s\n", command.name, command.summary);
    }
    return 2;
}

}  // namespace
}  // namespace vchost

int main(int argc, char** argv) {
    using namespace vchost;
    if (argc < 2) {
        return usage();
    }
    const Command* command = nullptr;
    for (const Command& candidate : COMMANDS) {
        if (std::strcmp(candidate.name, argv[1]) == 0) {
            command = &candidate;
        }
    }
    if (command == nullptr) {
        std::fprintf(stderr, "vchost: unknown command '%s'\n", argv[1]);
        return usage();
    }
    std::string error;
    Library library{};
    if (!platformStart(&error) || !loadLibrary(&library, &error)) {
        std::fprintf(stderr, "vchost: %s\n", error.c_str());
        return 1;
    }
    const int status = command->run(library, argc - 2, argv + 2);
    std::fflush(stdout);
    unloadLibrary(&library);
    return status;
}
