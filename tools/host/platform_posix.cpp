// The host program's operating system on Linux and other POSIX systems: the
// library is libveilcastnet32.so beside the program, its operations found
// by name.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "library.h"
#include "platform.h"
#include "socket_io.h"

namespace vchost {
namespace {

constexpr char LIBRARY_FILE[] = "libveilcastnet32.so";
// No credential comes near this.
constexpr std::size_t FILE_MAX = 1 << 20;

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The directory this program was started from, with a trailing slash.
std::string programDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return "./";
    }
    const std::string program(path, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/') + 1);
}

template <typename Function>
bool resolve(void* module, const char* name, Function* function, std::string* error) {
    void* address = dlsym(module, name);
    if (address == nullptr) {
        *error = std::string(LIBRARY_FILE) + " has no " + name;
        return false;
    }
    *function = reinterpret_cast<Function>(address);
    return true;
}

int descriptor(Socket socket) {
    return static_cast<int>(socket);
}

struct ThreadStart {
    void (*function)(void*);
    void* argument;
};

void* threadEntry(void* start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.function(copy.argument);
    return nullptr;
}

}  // namespace

const char PATH_SEPARATOR = '/';

bool loadLibrary(Library* library, std::string* error) {
    *library = Library{};
    const std::string path = programDirectory() + LIBRARY_FILE;
    library->module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library->module == nullptr) {
        *error = "cannot load " + path + ": " + dlerror();
        return false;
    }
    void* m = library->module;
    const bool resolved = resolve(m, "vcTerminate", &library->terminate, error) &&
                          resolve(m, "vcDestroyConnection", &library->destroyConnection, error) &&
                          resolve(m, "vcDestroyContext", &library->destroyContext, error) &&
                          resolve(m, "vcInitialize", &library->initialize, error) &&
                          resolve(m, "vcCreateConnection", &library->createConnection, error) &&
                          resolve(m, "vcOpenRecord", &library->openRecord, error) &&
                          resolve(m, "vcCreateContext", &library->createContext, error) &&
                          resolve(m, "vcHandshake", &library->handshake, error) &&
                          resolve(m, "vcSealRecord", &library->sealRecord, error) &&
                          resolve(m, "vcErrorText", &library->errorText, error) &&
                          resolve(m, "vcInfoText", &library->infoText, error);
    if (!resolved) {
        unloadLibrary(library);
    }
    return resolved;
}

void unloadLibrary(Library* library) {
    if (library->module != nullptr) {
        dlclose(library->module);
    }
    *library = Library{};
}

bool platformStart(std::string* error) {
    (void)error;
    // A peer that goes away must show up as a failed send, not end us.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void* programInstance() {
    return nullptr;
}

long readInput(uint8_t* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, size);
        if (got >= 0 || errno != EINTR) {
            return static_cast<long>(got);
        }
    }
}

bool writeOutput(const uint8_t* data, std::size_t size) {
    return vcsocket::writeAll(STDOUT_FILENO, data, size);
}

bool systemRandom(uint8_t* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t got = getrandom(buffer, size, 0);
        if (got < 0 && errno != EINTR) {
            return false;
        }
        if (got > 0) {
            buffer += got;
            size -= static_cast<std::size_t>(got);
        }
    }
    return true;
}

bool makePrivateDirectory(std::string* path, std::string* error) {
    const char* base = getenv("TMPDIR");
    std::string name =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vchost-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        *error = systemError("mkdtemp " + name);
        return false;
    }
    return absolutePath(name, path);
}

bool removeDirectory(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

bool removeFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool absolutePath(const std::string& path, std::string* absolute) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        return false;
    }
    *absolute = resolved;
    return true;
}

// vctool's files (file_io.cpp).
bool readRegularFile(const std::string& path, std::string* out, std::string* error) {
    return vcfile::readRegular(path, FILE_MAX, out, error);
}

bool holdSeedFile(const std::string& path, intptr_t* held, std::string* error) {
    *held = vcfile::lockSeedFile(path, error);
    return *held >= 0;
}

void releaseSeedFile(intptr_t held) {
    close(static_cast<int>(held));
}

bool replaceFile(const std::string& path, const uint8_t* data, std::size_t size,
                 std::string* error) {
    return vcfile::replaceContents(path, data, size, error);
}

// vctool's sockets (socket_io.cpp); a POSIX descriptor is the whole Socket.
Socket listenOn(const std::string& host, const std::string& port, std::string* error) {
    return vcsocket::listenOn(host, port, error);
}

Socket acceptOne(Socket listener, std::string* error) {
    return vcsocket::acceptOne(descriptor(listener), -1, error);
}

Socket connectTo(const std::string& host, const std::string& port, std::string* error) {
    return vcsocket::connectTo(host, port, error);
}

int boundPort(Socket socket) {
    return vcsocket::boundPort(descriptor(socket));
}

bool sendAll(Socket socket, const uint8_t* data, std::size_t size, std::string* error) {
    return vcsocket::sendAll(descriptor(socket), data, size, nullptr, error);
}

long receiveSome(Socket socket, uint8_t* buffer, std::size_t size, std::string* error) {
    return vcsocket::receiveSome(descriptor(socket), buffer, size, error);
}

void shutdownSending(Socket socket) {
    shutdown(descriptor(socket), SHUT_WR);
}

void shutdownBoth(Socket socket) {
    shutdown(descriptor(socket), SHUT_RDWR);
}

void closeSocket(Socket socket) {
    if (socket != NO_SOCKET) {
        close(descriptor(socket));
    }
}

Thread::~Thread() {
    delete static_cast<pthread_t*>(native_);
}

bool Thread::start(void (*function)(void*), void* argument) {
    auto* thread = new pthread_t;
    auto* start = new ThreadStart{function, argument};
    if (pthread_create(thread, nullptr, threadEntry, start) != 0) {
        delete start;
        delete thread;
        return false;
    }
    native_ = thread;
    return true;
}

void Thread::join() {
    if (native_ != nullptr) {
        pthread_join(*static_cast<pthread_t*>(native_), nullptr);
        delete static_cast<pthread_t*>(native_);
        native_ = nullptr;
    }
}

Mutex::Mutex() : native_(new pthread_mutex_t) {
    pthread_mutex_init(static_cast<pthread_mutex_t*>(native_), nullptr);
}

Mutex::~Mutex() {
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(native_));
    delete static_cast<pthread_mutex_t*>(native_);
}

void Mutex::lock() {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(native_));
}

void Mutex::unlock() {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(native_));
}

}  // namespace vchost
