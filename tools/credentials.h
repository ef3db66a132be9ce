// The credential commands of vctool. Each takes the arguments after the
// command name and returns the exit status, USAGE_ERROR for bad arguments.
#pragma once

#include <cstdint>
#include <string>

namespace vctool {

constexpr int USAGE_ERROR = 2;

// cert FILE...
int certCommand(int argc, char** argv);
// key FILE [--pass-phrase-file F] [--cert CERT.pem]
int keyCommand(int argc, char** argv);
// verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] CERT.pem
int verifyCommand(int argc, char** argv);

// What a transcript shows of a received certificate.
struct CertificateSummary {
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
};

// Reads a DER certificate with the library's own reader; false when it does
// not read, as a handshake would then report VERIFY_UNREADABLE.
bool summariseCertificate(const uint8_t* der, uint32_t length, CertificateSummary* out);

}  // namespace vctool
