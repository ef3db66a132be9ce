// A connection of the library over a TCP socket: the host side of the
// library, moving the bytes of the handshake and of sealed records between
// the socket and the library's calls. Public C interface only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "veilcastnet.h"

namespace vctool {

// One handshake message as the host sees it pass.
struct MessageEvent {
    bool sent;
    bool sealed;    // after the key exchange: only its size is visible
    uint8_t type;   // first byte of a plain message
    uint32_t size;  // on the wire, length field included
};
using MessageObserver = std::function<void(const MessageEvent&)>;

// The message names of the handshake, by the type byte a plain one starts with.
const char* messageName(uint8_t type);

class SealedSocket {
  public:
    // Takes over both the socket and the connection.
    SealedSocket(int socket, VcConnection* connection);
    ~SealedSocket();
    SealedSocket(const SealedSocket&) = delete;
    SealedSocket& operator=(const SealedSocket&) = delete;

    // Runs the handshake to completion; false with error() set otherwise.
    bool handshake(const MessageObserver& observer);
    // Seals all of data into records and sends them.
    bool send(const uint8_t* data, std::size_t length);
    // Opens the complete records already received, appending their payload.
    bool openBuffered(std::vector<uint8_t>* out);

    enum class Received { Data, Closed, Failed };
    // One read from the socket, then openBuffered. Closed when the peer has
    // closed its side between records.
    Received receive(std::vector<uint8_t>* out);
    // Stops sending: the peer reads the end of the stream.
    void shutdownSending();

    const std::string& error() const { return error_; }
    // The library's answer behind the last failure; VC_OK for a socket one.
    int32_t failedResult() const { return failedResult_; }
    int socket() const { return socket_; }
    uint64_t wireSent() const { return wireSent_; }
    uint64_t wireReceived() const { return wireReceived_; }
    uint64_t recordsSent() const { return recordsSent_; }

  private:
    // Appends what one read brings; 0 on end of stream, -1 on failure.
    long readMore();
    int32_t handshakeStep(const MessageObserver& observer, bool* sealed);
    bool fail(const std::string& what, int32_t result, bool destroyed);

    int socket_;
    VcConnection* connection_;
    std::vector<uint8_t> input_;
    uint32_t inputLength_ = 0;
    std::string error_;
    int32_t failedResult_ = VC_OK;
    uint64_t wireSent_ = 0;
    uint64_t wireReceived_ = 0;
    uint64_t recordsSent_ = 0;
};

}  // namespace vctool
