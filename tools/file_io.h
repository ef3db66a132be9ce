// Files the user names on POSIX systems, one source for vctool and for
// vchost built on Linux (vchost's Windows build has its own): credentials
// read without ever waiting on something that is not a file, and the seed
// file renewed in place. Every call that fails answers -1, or false, after
// putting the reason into *error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vcfile {

// A descriptor open for reading. Anything but a regular file is refused at
// once: a FIFO or a terminal would hold the program forever, a directory
// has nothing to read.
int openRegular(const std::string& path, std::string* error);

// A whole regular file of at most limit bytes into *out, read into a buffer
// of its final size so that no copy of a key is left in a released one.
bool readRegular(const std::string& path, std::size_t limit, std::string* out, std::string* error);

// The seed file, opened and locked against other start-ups that renew it:
// without the lock two of them could read the same bytes before either
// wrote new ones. Closing the descriptor releases it.
int lockSeedFile(const std::string& path, std::string* error);

// Replaces the file's bytes: a new file only this user may read, written
// beside it, synced and renamed over it, so that a crash leaves the old
// bytes or the new ones, never a torn file or none.
bool replaceContents(const std::string& path, const uint8_t* data, std::size_t size,
                     std::string* error);

}  // namespace vcfile
