// vctool: the command-line face of the library. It loads the shared library
// through its public interface only.
//
//   vctool info                 print the information text
//   vctool init SEEDFILE        seed the generator from a 512-byte file
//   vctool errors               list every result code with its text
#include <cstdio>
#include <cstring>

#include "veilcastnet.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: vctool info | errors | init SEEDFILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    if (std::strcmp(argv[1], "info") == 0) {
        std::fputs(vcInfoText(), stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "errors") == 0) {
        for (int32_t code = 0; code <= VC_HANDSHAKE_IN_PROGRESS; ++code) {
            std::printf("%2d %s\n", code, vcErrorText(code));
        }
        return 0;
    }
    if (std::strcmp(argv[1], "init") == 0 && argc == 3) {
        const int32_t result = vcInitialize(nullptr, nullptr, nullptr, nullptr, argv[2]);
        std::printf("vcInitialize: %d (%s)\n", result, vcErrorText(result));
        vcTerminate();
        return result == VC_OK ? 0 : 1;
    }
    return usage();
}
