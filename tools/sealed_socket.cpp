// The host's half of the library's calling convention over a socket: the
// library consumes whole messages from the front of the input and hands back
// at most one message per call, so the host only appends what it reads and
// sends what it is given.
#include "sealed_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "socket_io.h"

namespace vctool {
namespace {

// A sealed record is at most 2 + 65535 bytes; room for one whole record and
// most of the next means a read never has to wait for the buffer to drain.
constexpr std::size_t INPUT_BUFFER = 2 * 65536;
// 32768 bytes hold any handshake message; 65535 is the largest record
// capacity that counts, plus its length field.
constexpr std::size_t OUTPUT_BUFFER = 65536 + 2;
constexpr uint8_t KEY_EXCHANGE_TYPE = 3;

}  // namespace

const char* messageName(uint8_t type) {
    constexpr const char* NAMES[] = {"client hello",       "server hello",    "key exchange",
                                     "server verify",      "client finished", "certificate request",
                                     "client certificate", "server finished"};
    return type >= 1 && type <= 8 ? NAMES[type - 1] : "unknown message";
}

SealedSocket::SealedSocket(int socket, VcConnection* connection)
    : socket_(socket), connection_(connection), input_(INPUT_BUFFER) {}

SealedSocket::~SealedSocket() {
    if (connection_ != nullptr) {
        vcDestroyConnection(connection_);
    }
    if (socket_ >= 0) {
        close(socket_);
    }
}

bool SealedSocket::fail(const std::string& what, int32_t result, bool destroyed) {
    // The library has already released a connection it ended; destroying
    // the handle again would touch freed memory.
    if (destroyed) {
        connection_ = nullptr;
    }
    failedResult_ = result;
    error_ = what + ": " + std::to_string(result) + " (" + vcErrorText(result) + ")";
    return false;
}

long SealedSocket::readMore() {
    if (inputLength_ == input_.size()) {
        error_ = "the peer sent more than a record without completing one";
        return -1;
    }
    const long got = vcsocket::receiveSome(socket_, input_.data() + inputLength_,
                                           input_.size() - inputLength_, &error_);
    if (got < 0) {
        return -1;
    }
    inputLength_ += static_cast<uint32_t>(got);
    wireReceived_ += static_cast<uint64_t>(got);
    return got;
}

int32_t SealedSocket::handshakeStep(const MessageObserver& observer, bool* sealed) {
    static thread_local std::vector<uint8_t> output(OUTPUT_BUFFER);
    const uint32_t before = inputLength_;
    const uint8_t receivedType = before > 2 ? input_[2] : 0;
    uint32_t outputLength = 0;
    const int32_t result =
        vcHandshake(input_.data(), &inputLength_, output.data(), &outputLength, connection_);
    if (inputLength_ < before) {
        observer(MessageEvent{false, *sealed, receivedType, before - inputLength_});
        // Everything after the plain key exchange travels sealed.
        *sealed = *sealed || receivedType == KEY_EXCHANGE_TYPE;
    }
    if (outputLength > 0 && (result == VC_SEND_DATA || result == VC_OK)) {
        observer(MessageEvent{true, *sealed, output[2], outputLength});
        *sealed = *sealed || output[2] == KEY_EXCHANGE_TYPE;
        if (!vcsocket::sendAll(socket_, output.data(), outputLength, &wireSent_, &error_)) {
            return -1;
        }
    }
    return result;
}

bool SealedSocket::handshake(const MessageObserver& observer) {
    bool sealed = false;
    for (;;) {
        const int32_t result = handshakeStep(observer, &sealed);
        if (result == VC_OK) {
            return true;
        }
        if (result == -1) {
            return false;
        }
        if (result == VC_RECEIVE_MORE_DATA) {
            const long got = readMore();
            if (got == 0) {
                error_ = "the peer closed the connection during the handshake";
            }
            if (got <= 0) {
                return false;
            }
        } else if (result != VC_SEND_DATA) {
            // Every refusal but an unrecognised handle ends the connection.
            return fail("vcHandshake", result, result != VC_NO_CONNECTION);
        }
    }
}

bool SealedSocket::send(const uint8_t* data, std::size_t length) {
    static thread_local std::vector<uint8_t> record(OUTPUT_BUFFER);
    while (length > 0) {
        uint32_t taken = static_cast<uint32_t>(std::min<std::size_t>(length, 1u << 30));
        uint32_t recordLength = static_cast<uint32_t>(record.size());
        const int32_t result =
            vcSealRecord(data, &taken, record.data(), &recordLength, connection_);
        if (result != VC_SEND_DATA || taken == 0) {
            // Sealing refuses without ending the connection.
            return fail("vcSealRecord", result, false);
        }
        if (!vcsocket::sendAll(socket_, record.data(), recordLength, &wireSent_, &error_)) {
            return false;
        }
        ++recordsSent_;
        data += taken;
        length -= taken;
    }
    return true;
}

bool SealedSocket::openBuffered(std::vector<uint8_t>* out) {
    static thread_local std::vector<uint8_t> payload(65536);
    while (inputLength_ >= 2) {
        uint32_t payloadLength = 0;
        const int32_t result =
            vcOpenRecord(input_.data(), &inputLength_, payload.data(), &payloadLength, connection_);
        if (result == VC_RECEIVE_MORE_DATA) {
            break;
        }
        if (result != VC_OK) {
            return fail("vcOpenRecord", result, result == VC_DECRYPTION_FAILED);
        }
        out->insert(out->end(), payload.begin(), payload.begin() + payloadLength);
    }
    return true;
}

SealedSocket::Received SealedSocket::receive(std::vector<uint8_t>* out) {
    const long got = readMore();
    if (got < 0) {
        return Received::Failed;
    }
    if (got == 0) {
        if (inputLength_ == 0) {
            return Received::Closed;
        }
        error_ = "the peer closed the connection in the middle of a record";
        return Received::Failed;
    }
    return openBuffered(out) ? Received::Data : Received::Failed;
}

void SealedSocket::shutdownSending() {
    shutdown(socket_, SHUT_WR);
}

}  // namespace vctool
