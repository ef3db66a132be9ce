#include "socket_io.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcsocket {
namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList() {
        if (first != nullptr) {
            freeaddrinfo(first);
        }
    }
};

bool lookUp(const std::string& host, const std::string& port, bool passive, AddressList* list,
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
    if (!lookUp(host, port, true, &list, error)) {
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
    int fd = -1;
    do {
        fd = accept(listener, nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = systemError("accept");
    }
    return fd;
}

int connectTo(const std::string& host, const std::string& port, std::string* error) {
    AddressList list;
    if (!lookUp(host, port, false, &list, error)) {
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

bool sendAll(int socket, const uint8_t* data, std::size_t size, uint64_t* counted,
             std::string* error) {
    while (size > 0) {
        // MSG_NOSIGNAL: a peer that went away is a failed send, not a signal.
        const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            *error = errno == EAGAIN ? "timed out sending to the peer" : systemError("send");
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
        if (counted != nullptr) {
            *counted += static_cast<uint64_t>(sent);
        }
    }
    return true;
}

long receiveSome(int socket, uint8_t* buffer, std::size_t size, std::string* error) {
    for (;;) {
        const ssize_t got = recv(socket, buffer, size, 0);
        if (got >= 0) {
            return static_cast<long>(got);
        }
        if (errno != EINTR) {
            *error = errno == EAGAIN ? "timed out waiting for the peer" : systemError("recv");
            return -1;
        }
    }
}

bool writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace vcsocket
