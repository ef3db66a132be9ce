// The library as a host that loads it at run time sees it: eleven function
// pointers. On Windows they come from veilcastnet32.dll by ordinal, the only
// way the DLL offers them; elsewhere from libveilcastnet32.so by name.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "veilcastnet.h"

namespace vchost {

// The operations' pointer types, with the header's calling convention
// (stdcall on 32-bit Windows, the only convention everywhere else).
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
    void* module;
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

// Loads the library from the directory of this program, as Windows looks
// for a DLL first beside the program that loads it. False, with the reason
// in *error, unless all eleven operations were found.
bool loadLibrary(Library* library, std::string* error);
void unloadLibrary(Library* library);

// "CODE (text)" through the loaded library's own vcErrorText.
std::string resultText(const Library& library, int32_t code);

}  // namespace vchost
