// winhost: a Windows host program for veilcastnet32.dll, built for 32-bit
// and 64-bit Windows from this one source. It loads the library the way a
// host of the shipped DLL must: by file name, and each of the eleven
// operations by its ordinal, never by name, since the export table carries
// none. The first argument names a command; each command is one function
// over the resolved operations.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "veilcastnet.h"

namespace {

constexpr char LIBRARY_FILE[] = "veilcastnet32.dll";

// The operations' pointer types, with the header's calling convention
// (stdcall on 32-bit Windows, the only convention on 64-bit).
using TerminateFunction = void(VC_API*)(void);
using DestroyConnectionFunction = void(VC_API*)(VcConnection*);
using DestroyContextFunction = void(VC_API*)(VcContext*);
using InitializeFunction = int32_t(VC_API*)(void*, void*, void*, const char*, const char*);
using CreateConnectionFunction = int32_t(VC_API*)(VcContext*, const char*, uint32_t,
                                                  VcConnection**);
using RecordFunction = int32_t(VC_API*)(uint8_t*, uint32_t*, uint8_t*, uint32_t*, VcConnection*);
using CreateContextFunction = int32_t(VC_API*)(const PemInput*, const PemKeyInput*, const PemInput*,
                                               int32_t, CertificateCallback, uint32_t, uint32_t,
                                               VcContext**);
using SealRecordFunction = int32_t(VC_API*)(const uint8_t*, uint32_t*, uint8_t*, uint32_t*,
                                            VcConnection*);
using ErrorTextFunction = const char*(VC_API*)(int32_t);
using InfoTextFunction = const char*(VC_API*)(void);

// The declarations are only compared, never called: nothing links the
// library's symbols, so a drift between header and host fails here.
static_assert(std::is_same_v<TerminateFunction, decltype(&vcTerminate)>);
static_assert(std::is_same_v<DestroyConnectionFunction, decltype(&vcDestroyConnection)>);
static_assert(std::is_same_v<DestroyContextFunction, decltype(&vcDestroyContext)>);
static_assert(std::is_same_v<InitializeFunction, decltype(&vcInitialize)>);
static_assert(std::is_same_v<CreateConnectionFunction, decltype(&vcCreateConnection)>);
static_assert(std::is_same_v<RecordFunction, decltype(&vcOpenRecord)>);
static_assert(std::is_same_v<CreateContextFunction, decltype(&vcCreateContext)>);
static_assert(std::is_same_v<RecordFunction, decltype(&vcHandshake)>);
static_assert(std::is_same_v<SealRecordFunction, decltype(&vcSealRecord)>);
static_assert(std::is_same_v<ErrorTextFunction, decltype(&vcErrorText)>);
static_assert(std::is_same_v<InfoTextFunction, decltype(&vcInfoText)>);

// The loaded library, members in ordinal order as in veilcastnet32.def.
struct Library {
    HMODULE module;
    TerminateFunction terminate;                  // 10
    DestroyConnectionFunction destroyConnection;  // 11
    DestroyContextFunction destroyContext;        // 12
    InitializeFunction initialize;                // 13
    CreateConnectionFunction createConnection;    // 14
    RecordFunction openRecord;                    // 15
    CreateContextFunction createContext;          // 16
    RecordFunction handshake;                     // 17
    SealRecordFunction sealRecord;                // 18
    ErrorTextFunction errorText;                  // 19
    InfoTextFunction infoText;                    // 20
};

template <typename Function>
bool resolve(HMODULE module, WORD ordinal, Function* function) {
    const FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    if (address == nullptr) {
        std::fprintf(stderr, "winhost: %s has no ordinal %u (error %lu)\n", LIBRARY_FILE,
                     static_cast<unsigned>(ordinal), static_cast<unsigned long>(GetLastError()));
        return false;
    }
    // Through void (*)(), the one function pointer type any other converts
    // to without a warning about mismatched signatures.
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return true;
}

bool loadLibrary(Library* library) {
    *library = Library{};
    library->module = LoadLibraryA(LIBRARY_FILE);
    if (library->module == nullptr) {
        std::fprintf(stderr, "winhost: cannot load %s (error %lu)\n", LIBRARY_FILE,
                     static_cast<unsigned long>(GetLastError()));
        return false;
    }
    const HMODULE m = library->module;
    const bool resolved =
        resolve(m, 10, &library->terminate) && resolve(m, 11, &library->destroyConnection) &&
        resolve(m, 12, &library->destroyContext) && resolve(m, 13, &library->initialize) &&
        resolve(m, 14, &library->createConnection) && resolve(m, 15, &library->openRecord) &&
        resolve(m, 16, &library->createContext) && resolve(m, 17, &library->handshake) &&
        resolve(m, 18, &library->sealRecord) && resolve(m, 19, &library->errorText) &&
        resolve(m, 20, &library->infoText);
    if (!resolved) {
        (void)FreeLibrary(library->module);
        *library = Library{};
    }
    return resolved;
}

const char* resultText(const Library& library, int32_t code) {
    const char* text = library.errorText(code);
    return text != nullptr ? text : "(no text)";
}

// gather: seeds the generator with no seed file, so the library asks the
// user for mouse movements and key presses in its own window.
int runGather(const Library& library, int argc, char** argv) {
    (void)argv;
    if (argc != 0) {
        std::fprintf(stderr, "winhost: gather takes no arguments\n");
        return 2;
    }
    const int32_t result =
        library.initialize(nullptr, GetModuleHandleA(nullptr), nullptr, nullptr, nullptr);
    std::printf("vcInitialize: %ld (%s)\n", static_cast<long>(result), resultText(library, result));
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
};

int usage() {
    std::fprintf(stderr, "usage: winhost COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const Command& command : COMMANDS) {
        std::fprintf(stderr, "  %-10s %s\n", command.name, command.summary);
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
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
        std::fprintf(stderr, "winhost: unknown command '%s'\n", argv[1]);
        return usage();
    }
    Library library{};
    if (!loadLibrary(&library)) {
        return 1;
    }
    const int status = command->run(library, argc - 2, argv + 2);
    std::fflush(stdout);
    (void)FreeLibrary(library.module);
    return status;
}
