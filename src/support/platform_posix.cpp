// Platform services on POSIX systems: a statically initialised mutex, the
// kernel's thread id and raw open/read/close. A failed read is reported,
// never papered over; calls cut short by a signal are simply repeated.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "support/platform.h"

namespace vc {
namespace {

static_assert(PLATFORM_LOCK_COUNT == 1, "give every new lock its own initialiser below");
pthread_mutex_t platformLocks[PLATFORM_LOCK_COUNT] = {PTHREAD_MUTEX_INITIALIZER};

}  // namespace

void platformLockAcquire(PlatformLockName name) noexcept {
    // Only fails on a deadlock or a corrupt lock, both programming errors.
    (void)pthread_mutex_lock(&platformLocks[name]);
}

void platformLockRelease(PlatformLockName name) noexcept {
    (void)pthread_mutex_unlock(&platformLocks[name]);
}

#if defined(SYS_gettid)
namespace {

// Asking the kernel costs a system call on every draw, so each thread keeps
// its id. 0 means "not asked yet": the kernel never hands out id 0.
thread_local uint32_t cachedThreadId = 0;

// A forked child starts with its parent's pool and, without this, with the
// parent's cached id too: both would then draw the same bytes within the
// same second. The child's only thread forgets the id and asks again.
void forgetThreadIdInChild() {
    cachedThreadId = 0;
}

}  // namespace
#endif

uint32_t platformThreadId() noexcept {
#if defined(SYS_gettid)
    uint32_t id = cachedThreadId;
    if (id == 0) {
        static const int atforkRegistered = pthread_atfork(nullptr, nullptr, forgetThreadIdInChild);
        (void)atforkRegistered;
        // The kernel's thread id is unique among live threads and fits 32 bits.
        id = static_cast<uint32_t>(syscall(SYS_gettid));
        cachedThreadId = id;
    }
    return id;
#else
    // pthread_t is opaque (an integer, a pointer or a struct): fold all of
    // its bytes so two live threads still differ.
    const pthread_t self = pthread_self();
    unsigned char bytes[sizeof(self)];
    std::memcpy(bytes, &self, sizeof(self));
    uint32_t folded = 0;
    for (std::size_t i = 0; i < sizeof(self); ++i) {
        folded ^= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
    }
    return folded;
#endif
}

uint32_t platformTimeSeconds() noexcept {
    return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)));
}

int32_t platformReadFilePrefix(const char* path, uint8_t* buffer, uint32_t capacity,
                               uint32_t* bytesRead) noexcept {
    *bytesRead = 0;
    // Without O_NONBLOCK a FIFO would hold the caller until some writer
    // came; with it the open returns and fstat refuses anything but a
    // regular file, whose reads the flag does not change.
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return 1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        (void)::close(fd);
        return 1;
    }
    uint32_t total = 0;
    int32_t result = 0;
    while (total < capacity) {
        const ssize_t got = ::read(fd, buffer + total, capacity - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = 1;
            break;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<uint32_t>(got);
    }
    (void)::close(fd);
    *bytesRead = total;
    return result;
}

}  // namespace vc
