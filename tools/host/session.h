// The parts of vchost session: the printing helpers (session_print.cpp), the
// operations called one at a time (session_calls.cpp), two connections
// driven against each other in one process (session_driver.cpp) and the
// scenarios they go through (session_scenarios.cpp); session.cpp reads the
// credentials and runs them all in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "library.h"

namespace vchost::session {

constexpr uint32_t BOTH = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;
constexpr uint32_t CLIENT_USER_VALUE = 0xC1;
constexpr uint32_t SERVER_USER_VALUE = 0x5E;
// What an output length holds before a call, so that the transcript shows
// whether the call wrote it: a length no call answers.
constexpr uint32_t UNTOUCHED = 12345;

// One line of the transcript.
void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A check this platform can make on its own; the transcript says which.
void check(bool holds, const char* what);
int failedChecks();
// In double quotes, with quotes, backslashes and line ends escaped.
std::string quoted(const char* text);
const char* suiteName(uint32_t mask);
std::string flagNames(uint32_t flags);
std::string hex(const uint8_t* bytes, std::size_t size);

// The credential files the session reads from the directory it is given.
struct Texts {
    std::string ca, otherCa, expiredCa;
    std::string server, serverKey, serverEncKey;
    std::string client, clientKey, clientEncKey;
    std::string expired, expiredKey, byExpiredCa, byExpiredCaKey, unknownCa, unknownCaKey;
    std::string passPhrase;
};

// One vcCreateContext call: who it is for and with what.
struct ContextRequest {
    const std::string* certificate = nullptr;
    const std::string* key = nullptr;
    const std::string* passPhrase = nullptr;
    std::vector<const std::string*> cas;
    bool callback = true;
    uint32_t cipherMask = BOTH;
    uint32_t role = ROLE_SERVER;
};

// With the session's certificate callback where the request asks for one.
int32_t createContext(const Library& library, const ContextRequest& request, VcContext** context);

// A handshake between two connections in one process, and what follows it.
struct Scenario {
    const char* title;
    ContextRequest client;
    ContextRequest server;
    const char* serviceName = "server.example";
    uint32_t refusingUserValue = 0;
    enum { HANDSHAKE_ONLY, RECORDS, BROKEN_RECORDS } then = HANDSHAKE_ONLY;
};

void runScenario(const Library& library, const Scenario& scenario);
std::vector<Scenario> scenarios(const Texts& t);

// The operations called one at a time, in the order the session runs them.
void libraryTexts(const Library& library);
void beforeStartUp(const Library& library, const Texts& t);
// False when the library did not start from a seed file.
bool startUp(const Library& library, const Texts& t);
void contexts(const Library& library, const Texts& t);
void connections(const Library& library, const Texts& t);

}  // namespace vchost::session
