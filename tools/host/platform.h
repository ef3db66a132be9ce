// What the host program needs from the operating system, with one
// implementation for Windows (Win32 and Winsock) and one for POSIX. The
// commands above it are the same source on both, so that what they print
// can be compared line for line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vchost {

// Before anything else: standard streams in binary mode (no CR before LF,
// no end of input at a Ctrl-Z byte) and the socket layer started.
bool platformStart(std::string* error);

// What vcInitialize takes as the instance for its window: the program's
// module handle on Windows, nothing elsewhere.
void* programInstance();

// Standard input and output as byte streams. readInput answers the bytes
// read, 0 at the end of input and -1 on failure.
long readInput(uint8_t* buffer, std::size_t size);
bool writeOutput(const uint8_t* data, std::size_t size);

// Fills the buffer from the operating system's random generator.
bool systemRandom(uint8_t* buffer, std::size_t size);

// A fresh directory only this user can read, with its absolute path in
// native form; removeDirectory expects it empty.
bool makePrivateDirectory(std::string* path, std::string* error);
bool removeDirectory(const std::string& path);
bool removeFile(const std::string& path);
// The absolute native form of a path, as the library wants a seed file.
bool absolutePath(const std::string& path, std::string* absolute);
// The separator between directory and file names in native paths.
extern const char PATH_SEPARATOR;

// A whole file the user named into *out. Anything but a regular file (a
// FIFO or a pipe, a directory, a device or console) is refused at once
// rather than waited on, with the reason in *error.
bool readRegularFile(const std::string& path, std::string* out, std::string* error);
// The seed file at an absolute path, checked to be a regular file and held
// while it seeds the library and is renewed: on POSIX a lock makes other
// start-ups renewing it wait, so that no two read the same bytes. Windows
// never gives two live processes the same id, which the generator mixes
// into every output, so it only checks. releaseSeedFile ends the hold.
bool holdSeedFile(const std::string& path, intptr_t* held, std::string* error);
void releaseSeedFile(intptr_t held);
// Replaces a file's bytes with data: a new file beside it, written and
// renamed over it, so that a crash leaves the old bytes or the new ones.
bool replaceFile(const std::string& path, const uint8_t* data, std::size_t size,
                 std::string* error);

// Sockets: a socket is an integer on every system, -1 when there is none.
// Each call that fails puts the reason into *error.
using Socket = intptr_t;
constexpr Socket NO_SOCKET = -1;
Socket listenOn(const std::string& host, const std::string& port, std::string* error);
Socket acceptOne(Socket listener, std::string* error);
Socket connectTo(const std::string& host, const std::string& port, std::string* error);
int boundPort(Socket socket);
bool sendAll(Socket socket, const uint8_t* data, std::size_t size, std::string* error);
// The bytes received, 0 when the peer has shut down its sending side, -1
// on failure.
long receiveSome(Socket socket, uint8_t* buffer, std::size_t size, std::string* error);
void shutdownSending(Socket socket);
// Both directions: wakes a receive blocked in another thread.
void shutdownBoth(Socket socket);
void closeSocket(Socket socket);

// One more thread, and a lock. The relay reads standard input in a thread
// of its own because Windows cannot wait for a console or a pipe and a
// socket together.
class Thread {
  public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Runs function(argument) in a new thread; false when none could start.
    bool start(void (*function)(void*), void* argument);
    // Waits for the thread to end; nothing when none was started.
    void join();

  private:
    void* native_ = nullptr;
};

class Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

  private:
    void* native_;
};

class LockGuard {
  public:
    explicit LockGuard(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~LockGuard() { mutex_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Mutex& mutex_;
};

}  // namespace vchost
