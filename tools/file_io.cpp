#include "file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcfile {
namespace {

std::string systemError(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

// The directory part of a path, "." for a bare name.
std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int openRegular(const std::string& path, std::string* error) {
    // O_NONBLOCK is what keeps a FIFO's open from waiting for a writer;
    // fstat then sees what was opened, with no window for a swap.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(path);
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = path + ": not a regular file (a directory, a FIFO or a device is refused)";
        close(fd);
        return -1;
    }
    return fd;
}

bool readRegular(const std::string& path, std::size_t limit, std::string* out, std::string* error) {
    const int fd = openRegular(path, error);
    if (fd < 0) {
        return false;
    }
    struct stat status;
    bool read = fstat(fd, &status) == 0 && static_cast<uint64_t>(status.st_size) <= limit;
    if (!read) {
        *error = path + ": larger than " + std::to_string(limit) + " bytes";
    }
    out->assign(read ? static_cast<std::size_t>(status.st_size) : 0, '\0');
    std::size_t filled = 0;
    while (read && filled < out->size()) {
        const ssize_t got = ::read(fd, out->data() + filled, out->size() - filled);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            *error = got == 0 ? path + ": shorter than it was" : systemError(path);
            read = false;
        }
        filled += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    close(fd);
    return read;
}

int lockSeedFile(const std::string& path, std::string* error) {
    for (;;) {
        const int fd = openRegular(path, error);
        if (fd < 0) {
            return -1;
        }
        const bool locked = flock(fd, LOCK_EX) == 0;
        if (!locked && errno != EINTR) {
            *error = systemError(path + ": lock");
            close(fd);
            return -1;
        }
        // A renewal replaces the file, not the lock's object: whoever waited
        // makes sure the path still names the file it locked.
        struct stat held, named;
        if (locked && fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return fd;
        }
        close(fd);  // interrupted, or replaced meanwhile: again
    }
}

bool replaceContents(const std::string& path, const uint8_t* data, std::size_t size,
                     std::string* error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());  // mode 0600 whatever the umask
    if (fd < 0) {
        *error = systemError(temporary);
        return false;
    }
    bool written = write(fd, data, size) == static_cast<ssize_t>(size) && fsync(fd) == 0;
    written = close(fd) == 0 && written && rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        *error = systemError(path + ": writing it anew");
        unlink(temporary.c_str());
        return false;
    }
    // The rename lasts once the directory is synced too.
    const int directory = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

}  // namespace vcfile
