// Sockets and the host's half of the library's calling convention: the
// library consumes whole messages from the front of the input and hands back
// at most one message per call, so the host only appends what it reads and
// sends what it is given.
#include "channel.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vctool {
namespace {

// A sealed record is at most 2 + 65535 bytes; room for one whole record and
// most of the next means a read never has to wait for the buffer to drain.
constexpr std::size_t INPUT_BUFFER = 2 * 65536;
// 32768 bytes hold any handshake message; 65535 is the largest record
// capacity that counts, plus its length field.
constexpr std::size_t OUTPUT_BUFFER = 65536 + 2;
constexpr uint8_t KEY_EXCHANGE_TYPE = 3;

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList() { freeaddrinfo(first); }
};

bool resolve(const std::string& host, const std::string& port, bool passive, AddressList* list,
             std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const int status =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list->first);
    if (status != 0) {
        *error = "cannot resolve " + (host.empty() ? "*" : host) + " port " + port + ": " +
                 gai_strerror(status);
        return false;
    }
    return true;
}

int bindAndListen(const addrinfo& address, std::string* error) {
    const int fd = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd < 0) {
        *error = systemError("socket");
        return -1;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (bind(fd, address.ai_addr, address.ai_addrlen) != 0 || listen(fd, 1) != 0) {
        *error = systemError("bind/listen");
        close(fd);
        return -1;
    }
    return fd;
}

int connectOne(const addrinfo& address, std::string* error) {
    const int fd = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd < 0) {
        *error = systemError("socket");
        return -1;
    }
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        *error = systemError("connect");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int listenOn(const std::string& host, const std::string& port, std::string* error) {
    AddressList list;
    if (!resolve(host, port, true, &list, error)) {
        return -1;
    }
    for (const addrinfo* address = list.first; address != nullptr; address = address->ai_next) {
        if (const int fd = bindAndListen(*address, error); fd >= 0) {
            return fd;
        }
    }
    return -1;
}

int acceptOne(int listener, int timeoutMs, std::string* error) {
    pollfd waiting{listener, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&waiting, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        *error = ready == 0 ? "no client connected in time" : systemError("poll");
        return -1;
    }
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) {
        *error = systemError("accept");
    }
    return fd;
}

int connectTo(const std::string& host, const std::string& port, std::string* error) {
    AddressList list;
    if (!resolve(host, port, false, &list, error)) {
        return -1;
    }
    for (const addrinfo* address = list.first; address != nullptr; address = address->ai_next) {
        if (const int fd = connectOne(*address, error); fd >= 0) {
            return fd;
        }
    }
    *error = host + " port " + port + ": " + *error;
    return -1;
}

int boundPort(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void setTimeouts(int socket, int seconds) {
    const timeval limit{seconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

const char* messageName(uint8_t type) {
    constexpr const char* NAMES[] = {"client hello",       "server hello",    "key exchange",
                                     "server verify",      "client finished", "certificate request",
                                     "client certificate", "server finished"};
    return type >= 1 && type <= 8 ? NAMES[type - 1] : "unknown message";
}

Channel::Channel(int socket, VcConnection* connection)
    : socket_(socket), connection_(connection), input_(INPUT_BUFFER) {}

Channel::~Channel() {
    if (connection_ != nullptr) {
        vcDestroyConnection(connection_);
    }
    if (socket_ >= 0) {
        close(socket_);
    }
}

bool Channel::fail(const std::string& what, int32_t result, bool destroyed) {
    // The library has already released a connection it ended; destroying
    // the handle again would touch freed memory.
    if (destroyed) {
        connection_ = nullptr;
    }
    failedResult_ = result;
    error_ = what + ": " + std::to_string(result) + " (" + vcErrorText(result) + ")";
    return false;
}

bool Channel::sendAll(const uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(socket_, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            error_ = errno == EAGAIN ? "timed out sending to the peer" : systemError("send");
            return false;
        }
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
        wireSent_ += static_cast<uint64_t>(sent);
    }
    return true;
}

long Channel::readMore() {
    if (inputLength_ == input_.size()) {
        error_ = "the peer sent more than a record without completing one";
        return -1;
    }
    ssize_t got = 0;
    do {
        got = recv(socket_, input_.data() + inputLength_, input_.size() - inputLength_, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        error_ = errno == EAGAIN ? "timed out waiting for the peer" : systemError("recv");
        return -1;
    }
    inputLength_ += static_cast<uint32_t>(got);
    wireReceived_ += static_cast<uint64_t>(got);
    return got;
}

int32_t Channel::handshakeStep(const MessageObserver& observer, bool* sealed) {
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
        if (!sendAll(output.data(), outputLength)) {
            return -1;
        }
    }
    return result;
}

bool Channel::handshake(const MessageObserver& observer) {
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

bool Channel::send(const uint8_t* data, std::size_t length) {
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
        if (!sendAll(record.data(), recordLength)) {
            return false;
        }
        ++recordsSent_;
        data += taken;
        length -= taken;
    }
    return true;
}

bool Channel::openBuffered(std::vector<uint8_t>* out) {
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

Channel::Received Channel::receive(std::vector<uint8_t>* out) {
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

void Channel::shutdownSending() {
    shutdown(socket_, SHUT_WR);
}

}  // namespace vctool
