// The eight handshake messages, byte for byte: builders write one message
// at the given place and report its length; readers check one received
// message and answer 0 or the ErrorCode that ends the handshake (18 for
// anything malformed or unexpected unless said otherwise).
#pragma once

#include <cstdint>

#include "pki/certificate.h"
#include "protocol/channel.h"

namespace vc {

enum : uint8_t {
    CLIENT_HELLO = 1,
    SERVER_HELLO = 2,
    KEY_EXCHANGE = 3,
    SERVER_VERIFY = 4,
    CLIENT_FINISHED = 5,
    CERTIFICATE_REQUEST = 6,
    CLIENT_CERTIFICATE = 7,
    SERVER_FINISHED = 8,
};

constexpr uint32_t CLIENT_HELLO_LENGTH = 37;
constexpr uint32_t ECHO_LENGTH = 33;  // SERVER_VERIFY, CLIENT_FINISHED, SERVER_FINISHED
constexpr uint32_t CERTIFICATE_REQUEST_LENGTH = 34;

// Every builder that draws random bytes answers VC_NOT_INITIALIZED when the
// generator refuses: no handshake goes on with randoms it did not get.

// Client: a fresh clientRandom and the channel's cipher mask.
int32_t buildClientHello(Channel* channel, uint8_t* out, uint32_t* length) noexcept;
// Server: intersects the masks (20 when nothing is left), keeps clientRandom.
int32_t readClientHello(Channel* channel, const uint8_t* message, uint32_t length) noexcept;
int32_t buildServerHello(Channel* channel, const Credentials* credentials, uint8_t* out,
                         uint32_t* length) noexcept;

// Client: picks the suite (RC4 first), keeps serverRandom and a copy of the
// server's certificate (3 when it cannot be stored), and accepts the
// certificate, leaving it parsed in *server for the key exchange.
int32_t readServerHello(Channel* channel, const Credentials* credentials, const uint8_t* message,
                        uint32_t length, Certificate* server) noexcept;
// Client: master secret and IV under the server's key (24 when RSA fails),
// then the keys of both directions.
int32_t buildKeyExchange(Channel* channel, const Certificate* server, uint8_t* out,
                         uint32_t* length) noexcept;
// Server: the suite, the master secret (24 when decryption fails) and the
// IV. masterSecret needs 24 bytes, iv 8; the caller wipes both.
int32_t readKeyExchange(Channel* channel, const Credentials* credentials, const uint8_t* message,
                        uint32_t length, uint8_t* masterSecret, uint8_t* iv) noexcept;

// SERVER_VERIFY and CLIENT_FINISHED echo the peer's random.
uint32_t buildEcho(uint8_t type, const uint8_t random[32], uint8_t* out) noexcept;
int32_t readEcho(uint8_t type, const uint8_t expected[32], const uint8_t* message,
                 uint32_t length) noexcept;

// Server: a fresh challenge, kept in clientRandom.
int32_t buildCertificateRequest(Channel* channel, uint8_t* out, uint32_t* length) noexcept;
// Client: takes the challenge (4 when the context has no certificate).
int32_t readCertificateRequest(Channel* channel, const Credentials* credentials,
                               const uint8_t* message, uint32_t length) noexcept;
// Client: its certificate and the signature over key material, challenge
// and server certificate (24 when signing fails).
int32_t buildClientCertificate(Channel* channel, const Credentials* credentials, uint8_t* out,
                               uint32_t* length) noexcept;
// Server: accepts the certificate and checks the signature (24 when it
// cannot be recovered).
int32_t readClientCertificate(Channel* channel, const Credentials* credentials,
                              const uint8_t* message, uint32_t length) noexcept;

int32_t buildServerFinished(uint8_t* out, uint32_t* length) noexcept;
bool isServerFinished(const uint8_t* message, uint32_t length) noexcept;

// The acceptance rule for a received certificate: parse, verify against the
// CA records (and, on a client, the service name), offer it to the host's
// callback, decide (21, 22 or 23). *parsed is usable only on 0.
int32_t acceptPeerCertificate(const Channel* channel, const Credentials* credentials,
                              const uint8_t* der, uint32_t length, Certificate* parsed) noexcept;

}  // namespace vc
