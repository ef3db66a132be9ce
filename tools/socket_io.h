// Plain TCP sockets on POSIX systems, one source for vctool and for vchost
// built on Linux (vchost's Windows build has its own, on Winsock). Every
// call that fails answers -1, or false, after putting the reason into
// *error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vcsocket {

// An empty host listens on every address.
int listenOn(const std::string& host, const std::string& port, std::string* error);
// Waits at most timeoutMs for a client; -1 waits without limit.
int acceptOne(int listener, int timeoutMs, std::string* error);
int connectTo(const std::string& host, const std::string& port, std::string* error);
// The port a listening socket was given, for "--port 0".
int boundPort(int socket);
// Sends and receives on the socket give up after this many seconds.
void setTimeouts(int socket, int seconds);
// All of data, or false; *counted (when given) grows by every byte the
// socket took, those before a failure included.
bool sendAll(int socket, const uint8_t* data, std::size_t size, uint64_t* counted,
             std::string* error);
// All of data to any descriptor (a pipe, a file, a terminal), blocking, a
// write interrupted by a signal tried again; errno says why not.
bool writeAll(int fd, const uint8_t* data, std::size_t size);
// The bytes received, 0 when the peer has shut down its sending side, -1 on
// failure.
long receiveSome(int socket, uint8_t* buffer, std::size_t size, std::string* error);

}  // namespace vcsocket
