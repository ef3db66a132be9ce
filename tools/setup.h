// What every transport command does before it can connect: seed the library,
// read credentials, make a context; and the words the commands use to show
// what the library reported. Public C interface only, but for the seed
// file's renewal, which draws from the library's generator directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veilcastnet.h"

namespace vctool {

// Seeds the library with 512 fresh bytes from the operating system, written
// to a private temporary seed file that is removed again afterwards.
// Answers the vcInitialize result; on a local failure prints why and
// answers VC_INITIALIZATION_FAILED.
int32_t initialiseFromOs();
// Seeds from a file the user names, then at once replaces its bytes with
// 512 drawn from the seeded generator, as a system refreshes its seed file
// at boot: the generator's output depends only on the seed, the thread id
// and the second, so a seed file read twice would otherwise make two
// processes (a pid reused, containers started together) send the same
// randoms. Other start-ups from the same file wait meanwhile. Answers the
// vcInitialize result, or VC_INITIALIZATION_FAILED (after printing why, and
// with the library terminated again) when the file cannot be renewed.
int32_t initialiseFromFile(const std::string& path);
// Seeds from the user's mouse movements and key presses in the library's
// own window (vcInitialize without a seed file); needs a display.
int32_t initialiseFromWindow();

// Opens a file the user named for reading, or prints why not and answers
// -1. Anything but a regular file is refused at once: a FIFO or a terminal
// would hold the program forever, a directory has nothing to read.
int openRegularFile(const std::string& path);
// A whole file into *out; on failure prints "vctool: PATH: reason".
bool readWholeFile(const std::string& path, std::string* out);
// Overwrites a string's bytes before it is released.
void wipeString(std::string* text);

// The PEM texts of one side.
struct CredentialTexts {
    std::string certificate;  // empty: none
    std::string key;
    std::string passPhrase;  // only its first line counts
    std::vector<std::string> caCertificates;
};

// The key and the pass phrase, overwritten once the context has them.
void wipeTexts(CredentialTexts* texts);

int32_t createContext(const CredentialTexts& texts, CertificateCallback callback,
                      uint32_t cipherMask, uint32_t role, VcContext** context);

// "RC4-128", "triple-DES-CBC", "RC4-128 or triple-DES-CBC", else the mask in hex.
std::string suiteName(uint32_t cipherMask);
// "none" or the VERIFY_* names joined by spaces.
std::string verifyFlagNames(uint32_t flags);
// AB:CD:... of the 16 bytes.
std::string fingerprintText(const uint8_t* md5);
// Lines describing a received certificate as the callback sees it.
std::vector<std::string> describePeerCertificate(const uint8_t* der, uint32_t length,
                                                 uint32_t verifyFlags, uint32_t cipherMask,
                                                 const uint8_t* md5);
// "name (code)" for a result code.
std::string resultText(int32_t code);

}  // namespace vctool
