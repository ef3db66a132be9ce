// Start-up from a seed file the user names, renewing the file at once.
#pragma once

#include <cstdint>
#include <string>

#include "library.h"

namespace vchost {

// Seeds the library from the file, then replaces its bytes with 512 drawn
// from the seeded generator, as a system refreshes its seed file at boot:
// the generator's output depends only on the seed, the thread id and the
// second, so a seed file read twice could make two runs (a process id
// reused) send the same randoms. ca is a CA certificate the library takes,
// for the client context the drawing needs. Answers the vcInitialize
// result, or VC_INITIALIZATION_FAILED with the reason in *error (and the
// library terminated again when only the renewal failed).
int32_t initialiseFromSeedFile(const Library& library, const std::string& path,
                               const std::string& ca, std::string* error);

}  // namespace vchost
