// The few operating-system services the generator and the seed file need:
// a process-wide lock, the caller's thread id, the clock and a raw file read.
// Nothing here allocates, and no operating-system header leaks out of it.
#pragma once

#include <cstdint>

namespace vc {

// Locks are named rather than handed out, so each platform file can define
// its native lock objects statically initialised and no caller ever has to
// create or destroy one.
enum PlatformLockName : uint32_t { PLATFORM_LOCK_RANDOM_POOL = 0, PLATFORM_LOCK_COUNT = 1 };

void platformLockAcquire(PlatformLockName name) noexcept;
void platformLockRelease(PlatformLockName name) noexcept;

// Holds a named lock for the lifetime of a scope.
class PlatformLockGuard {
  public:
    explicit PlatformLockGuard(PlatformLockName name) noexcept : name_(name) {
        platformLockAcquire(name_);
    }
    ~PlatformLockGuard() { platformLockRelease(name_); }
    PlatformLockGuard(const PlatformLockGuard&) = delete;
    PlatformLockGuard& operator=(const PlatformLockGuard&) = delete;

  private:
    PlatformLockName name_;
};

// An identifier of the calling thread, distinct between threads that run at
// the same time.
uint32_t platformThreadId() noexcept;

// Seconds since the epoch, truncated to 32 bits.
uint32_t platformTimeSeconds() noexcept;

// Opens path in binary read-only mode and reads until capacity bytes are in
// buffer or the file ends; never reads past capacity. 0 with *bytesRead set
// on success, 1 when the file cannot be opened, is not a regular file (a
// FIFO, a directory, a device: refused at once, never waited on) or a read
// fails.
int32_t platformReadFilePrefix(const char* path, uint8_t* buffer, uint32_t capacity,
                               uint32_t* bytesRead) noexcept;

}  // namespace vc
