// Platform services on Windows: slim reader/writer locks (statically
// initialised, never destroyed), the kernel's thread id, and the C runtime's
// low-level file calls in binary mode so no byte of a seed file is translated.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

#include "support/platform.h"

namespace vc {
namespace {

static_assert(PLATFORM_LOCK_COUNT == 1, "give every new lock its own initialiser below");
SRWLOCK platformLocks[PLATFORM_LOCK_COUNT] = {SRWLOCK_INIT};

}  // namespace

void platformLockAcquire(PlatformLockName name) noexcept {
    AcquireSRWLockExclusive(&platformLocks[name]);
}

void platformLockRelease(PlatformLockName name) noexcept {
    ReleaseSRWLockExclusive(&platformLocks[name]);
}

uint32_t platformThreadId() noexcept {
    return static_cast<uint32_t>(GetCurrentThreadId());
}

uint32_t platformTimeSeconds() noexcept {
    return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)));
}

int32_t platformReadFilePrefix(const char* path, uint8_t* buffer, uint32_t capacity,
                               uint32_t* bytesRead) noexcept {
    *bytesRead = 0;
    const int fd = _open(path, _O_BINARY | _O_RDONLY);
    if (fd < 0) {
        return 1;
    }
    // A console or a pipe opens at once but would hold the caller in the
    // first read: only a file on disk is read.
    struct _stat status;
    if (_fstat(fd, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        (void)_close(fd);
        return 1;
    }
    uint32_t total = 0;
    int32_t result = 0;
    while (total < capacity) {
        const int got = _read(fd, buffer + total, capacity - total);
        if (got < 0) {
            result = 1;
            break;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<uint32_t>(got);
    }
    (void)_close(fd);
    *bytesRead = total;
    return result;
}

}  // namespace vc
