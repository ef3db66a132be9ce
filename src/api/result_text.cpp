// Texts of the result codes and the information text.
#include <cstddef>
#include <cstring>

#include "veilcastnet.h"

namespace {

constexpr const char* RESULT_TEXTS[] = {
    "no error",
    "initialization failed",
    "not initialized",
    "no memory available",
    "no certificate",
    "certificate bad",
    "no private key",
    "passphrase bad",
    "private key bad",
    "privKey/cert do not match",
    "no CA certificates",
    "CA certificates bad",
    "empty cipher list",
    "role bad",
    "no context",
    "no servicename",
    "receive more data",
    "send data",
    "connection closed",
    "decryption failed",
    "no common cipher",
    "certificate invalid",
    "certificate refused",
    "wrong servicename",
    "RSA operation failed",
    "no connection",
    "handshake in progress",
};
static_assert(sizeof(RESULT_TEXTS) / sizeof(RESULT_TEXTS[0]) == VC_HANDSHAKE_IN_PROGRESS + 1);

constexpr std::size_t INFO_TEXT_MAX = 245;
char infoText[INFO_TEXT_MAX + 1];

// Appends at most (INFO_TEXT_MAX - current length) characters of piece and
// always terminates, so the text can never outgrow its buffer.
void appendBounded(const char* piece) noexcept {
    std::size_t used = std::strlen(infoText);
    std::size_t room = INFO_TEXT_MAX - used;
    std::size_t take = std::strlen(piece);
    if (take > room) {
        take = room;
    }
    std::memcpy(infoText + used, piece, take);
    infoText[used + take] = '\0';
}

}  // namespace

extern "C" {

VC_EXPORT const char* VC_API vcErrorText(int32_t code) {
    if (code < 0 || code > VC_HANDSHAKE_IN_PROGRESS) {
        return "unknown error";
    }
    return RESULT_TEXTS[code];
}

VC_EXPORT const char* VC_API vcInfoText(void) {
    // The first piece overwrites the buffer with its terminator, so every
    // call starts afresh instead of appending to the previous text.
    static constexpr char FIRST[] = "Veilcastnet (R) Version 2.0 compiled ";
    static_assert(sizeof(FIRST) <= INFO_TEXT_MAX + 1);
    std::memcpy(infoText, FIRST, sizeof(FIRST));
    appendBounded(__DATE__ " " __TIME__);
    appendBounded("\nProtocol Version ");
    appendBounded("2.0\n");
    appendBounded("Copyright (c) 2026 the Veilcastnet developers. All rights reserved.\n");
    return infoText;
}

}  // extern "C"
