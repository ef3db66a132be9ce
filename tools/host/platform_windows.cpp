// The host program's operating system on Windows: the library is
// veilcastnet32.dll, its operations found by ordinal only, since the export
// table carries no names; sockets through Winsock.
#define _CRT_RAND_S
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, which would otherwise bring the old Winsock.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "library.h"
#include "platform.h"

namespace vchost {
namespace {

constexpr char LIBRARY_FILE[] = "veilcastnet32.dll";

std::string windowsError(const std::string& what, unsigned long code) {
    return what + " (error " + std::to_string(code) + ")";
}

std::string socketError(const std::string& what) {
    return windowsError(what, static_cast<unsigned long>(WSAGetLastError()));
}

template <typename Function>
bool resolve(HMODULE module, WORD ordinal, Function* function, std::string* error) {
    const FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    if (address == nullptr) {
        *error =
            windowsError(std::string(LIBRARY_FILE) + " has no ordinal " + std::to_string(ordinal),
                         GetLastError());
        return false;
    }
    // Through void (*)(), the one function pointer type any other converts
    // to without a warning about mismatched signatures.
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return true;
}

SOCKET native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

Socket portable(SOCKET socket) {
    return socket == INVALID_SOCKET ? NO_SOCKET : static_cast<Socket>(socket);
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
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const int status =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list->first);
    if (status != 0) {
        *error = windowsError("cannot resolve " + (host.empty() ? "*" : host) + " port " + port,
                              static_cast<unsigned long>(status));
        return false;
    }
    return true;
}

struct ThreadStart {
    void (*function)(void*);
    void* argument;
};

DWORD WINAPI threadEntry(LPVOID start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.function(copy.argument);
    return 0;
}

}  // namespace

const char PATH_SEPARATOR = '\\';

bool loadLibrary(Library* library, std::string* error) {
    *library = Library{};
    const HMODULE m = LoadLibraryA(LIBRARY_FILE);
    if (m == nullptr) {
        *error = windowsError(std::string("cannot load ") + LIBRARY_FILE, GetLastError());
        return false;
    }
    library->module = m;
    const bool resolved =
        resolve(m, 10, &library->terminate, error) &&
        resolve(m, 11, &library->destroyConnection, error) &&
        resolve(m, 12, &library->destroyContext, error) &&
        resolve(m, 13, &library->initialize, error) &&
        resolve(m, 14, &library->createConnection, error) &&
        resolve(m, 15, &library->openRecord, error) &&
        resolve(m, 16, &library->createContext, error) &&
        resolve(m, 17, &library->handshake, error) && resolve(m, 18, &library->sealRecord, error) &&
        resolve(m, 19, &library->errorText, error) && resolve(m, 20, &library->infoText, error);
    if (!resolved) {
        unloadLibrary(library);
    }
    return resolved;
}

void unloadLibrary(Library* library) {
    if (library->module != nullptr) {
        (void)FreeLibrary(static_cast<HMODULE>(library->module));
    }
    *library = Library{};
}

bool platformStart(std::string* error) {
    // The C runtime's text mode would turn every LF into CR LF on the way
    // out and stop reading at a Ctrl-Z byte on the way in.
    (void)_setmode(_fileno(stdin), _O_BINARY);
    (void)_setmode(_fileno(stdout), _O_BINARY);
    (void)_setmode(_fileno(stderr), _O_BINARY);
    WSADATA data;
    const int status = WSAStartup(MAKEWORD(2, 2), &data);
    if (status != 0) {
        *error = windowsError("WSAStartup", static_cast<unsigned long>(status));
        return false;
    }
    return true;
}

void* programInstance() {
    return GetModuleHandleA(nullptr);
}

long readInput(uint8_t* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD wanted = size > 1u << 20 ? 1u << 20 : static_cast<DWORD>(size);
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, wanted, &got, nullptr)) {
        // A pipe whose writer has gone is the end of the input, not a failure.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<long>(got);
}

bool writeOutput(const uint8_t* data, std::size_t size) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 1u << 20 ? 1u << 20 : static_cast<DWORD>(size);
        if (!WriteFile(output, data, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool systemRandom(uint8_t* buffer, std::size_t size) {
    while (size > 0) {
        unsigned int word = 0;
        if (rand_s(&word) != 0) {
            return false;
        }
        const std::size_t take = size < sizeof(word) ? size : sizeof(word);
        std::memcpy(buffer, &word, take);
        buffer += take;
        size -= take;
    }
    return true;
}

bool makePrivateDirectory(std::string* path, std::string* error) {
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof(base), base);
    if (length == 0 || length > MAX_PATH) {
        *error = windowsError("GetTempPath", GetLastError());
        return false;
    }
    // The directory inherits the user's profile permissions; its name only
    // has to be new.
    uint8_t random[8];
    if (!systemRandom(random, sizeof(random))) {
        *error = "no random name for a temporary directory";
        return false;
    }
    char name[MAX_PATH + 32];
    std::snprintf(name, sizeof(name), "%svchost-%02x%02x%02x%02x%02x%02x%02x%02x", base, random[0],
                  random[1], random[2], random[3], random[4], random[5], random[6], random[7]);
    if (!CreateDirectoryA(name, nullptr)) {
        *error = windowsError(std::string("CreateDirectory ") + name, GetLastError());
        return false;
    }
    return absolutePath(name, path);
}

bool removeDirectory(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != 0;
}

bool removeFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool absolutePath(const std::string& path, std::string* absolute) {
    char full[MAX_PATH + 1];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    if (length == 0 || length > MAX_PATH) {
        return false;
    }
    *absolute = full;
    return true;
}

namespace {

// No credential comes near this.
constexpr LONGLONG FILE_MAX = 1 << 20;

// A handle for reading a file on disk, or INVALID_HANDLE_VALUE with the
// reason in *error: a pipe, a console or another device opens at once but
// would hold the first read, and a directory has nothing to read.
HANDLE openRegular(const std::string& path, std::string* error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    HANDLE file = INVALID_HANDLE_VALUE;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        file = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            *error = windowsError("cannot open " + path, GetLastError());
            return file;
        }
    }
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) {
        *error = path + ": not a regular file (a directory, a pipe or a device is refused)";
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace

bool readRegularFile(const std::string& path, std::string* out, std::string* error) {
    const HANDLE file = openRegular(path, error);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Read into a buffer of the final size, so that no copy of a key is
    // left in a released one.
    LARGE_INTEGER size{};
    bool read = GetFileSizeEx(file, &size) != 0 && size.QuadPart <= FILE_MAX;
    if (!read) {
        *error = path + ": larger than " + std::to_string(FILE_MAX) + " bytes";
    }
    out->assign(read ? static_cast<std::size_t>(size.QuadPart) : 0, '\0');
    for (std::size_t filled = 0; read && filled < out->size();) {
        DWORD got = 0;
        read = ReadFile(file, out->data() + filled, static_cast<DWORD>(out->size() - filled), &got,
                        nullptr) != 0 &&
               got > 0;
        if (!read) {
            *error = windowsError("cannot read " + path, GetLastError());
        }
        filled += got;
    }
    CloseHandle(file);
    return read;
}

bool holdSeedFile(const std::string& path, intptr_t* held, std::string* error) {
    const HANDLE file = openRegular(path, error);
    *held = 0;
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

void releaseSeedFile(intptr_t) {}

bool replaceFile(const std::string& path, const uint8_t* data, std::size_t size,
                 std::string* error) {
    uint8_t random[4];
    if (!systemRandom(random, sizeof(random))) {
        *error = "no random name for a file beside " + path;
        return false;
    }
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), ".%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3]);
    const std::string temporary = path + suffix;
    // Created anew in the file's own directory, so it takes that
    // directory's permissions, as the old file did unless changed by hand.
    const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = windowsError("cannot create " + temporary, GetLastError());
        return false;
    }
    DWORD written = 0;
    bool replaced = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) != 0 &&
                    written == size && FlushFileBuffers(file) != 0;
    replaced = CloseHandle(file) != 0 && replaced &&
               MoveFileExA(temporary.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!replaced) {
        *error = windowsError("cannot write " + path + " anew", GetLastError());
        DeleteFileA(temporary.c_str());
    }
    return replaced;
}

Socket listenOn(const std::string& host, const std::string& port, std::string* error) {
    AddressList list;
    if (!lookUp(host, port, true, &list, error)) {
        return NO_SOCKET;
    }
    for (const addrinfo* address = list.first; address != nullptr; address = address->ai_next) {
        const SOCKET s = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (s == INVALID_SOCKET) {
            *error = socketError("socket");
            continue;
        }
        // No SO_REUSEADDR: on Windows it would let another program take
        // over the port.
        if (bind(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0 &&
            listen(s, 1) == 0) {
            return portable(s);
        }
        *error = socketError("bind/listen");
        closesocket(s);
    }
    return NO_SOCKET;
}

Socket acceptOne(Socket listener, std::string* error) {
    const SOCKET s = accept(native(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        *error = socketError("accept");
    }
    return portable(s);
}

Socket connectTo(const std::string& host, const std::string& port, std::string* error) {
    AddressList list;
    if (!lookUp(host, port, false, &list, error)) {
        return NO_SOCKET;
    }
    for (const addrinfo* address = list.first; address != nullptr; address = address->ai_next) {
        const SOCKET s = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (s == INVALID_SOCKET) {
            *error = socketError("socket");
            continue;
        }
        if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) {
            return portable(s);
        }
        *error = socketError(host + " port " + port + ": connect");
        closesocket(s);
    }
    return NO_SOCKET;
}

int boundPort(Socket socket) {
    sockaddr_storage address{};
    int length = sizeof(address);
    if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

bool sendAll(Socket socket, const uint8_t* data, std::size_t size, std::string* error) {
    while (size > 0) {
        const int chunk = size > 1u << 20 ? 1 << 20 : static_cast<int>(size);
        const int sent = ::send(native(socket), reinterpret_cast<const char*>(data), chunk, 0);
        if (sent <= 0) {
            *error = socketError("send");
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

long receiveSome(Socket socket, uint8_t* buffer, std::size_t size, std::string* error) {
    const int wanted = size > 1u << 20 ? 1 << 20 : static_cast<int>(size);
    const int got = recv(native(socket), reinterpret_cast<char*>(buffer), wanted, 0);
    if (got < 0) {
        *error = socketError("recv");
        return -1;
    }
    return got;
}

void shutdownSending(Socket socket) {
    shutdown(native(socket), SD_SEND);
}

void shutdownBoth(Socket socket) {
    shutdown(native(socket), SD_BOTH);
}

void closeSocket(Socket socket) {
    if (socket != NO_SOCKET) {
        closesocket(native(socket));
    }
}

Thread::~Thread() {
    if (native_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(native_));
    }
}

bool Thread::start(void (*function)(void*), void* argument) {
    auto* start = new ThreadStart{function, argument};
    const HANDLE thread = CreateThread(nullptr, 0, threadEntry, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    native_ = thread;
    return true;
}

void Thread::join() {
    if (native_ != nullptr) {
        WaitForSingleObject(static_cast<HANDLE>(native_), INFINITE);
        CloseHandle(static_cast<HANDLE>(native_));
        native_ = nullptr;
    }
}

Mutex::Mutex() : native_(new CRITICAL_SECTION) {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(native_));
}

Mutex::~Mutex() {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(native_));
    delete static_cast<CRITICAL_SECTION*>(native_);
}

void Mutex::lock() {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(native_));
}

void Mutex::unlock() {
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(native_));
}

}  // namespace vchost
