// vctool: the command-line face of the library. It loads the shared library
// through its public interface only.
//
//   vctool info                 print the information text
//   vctool init SEEDFILE        seed the generator from a 512-byte file
//   vctool errors               list every result code with its text
//   vctool demo SEEDFILE        the above in one run, as far as the library goes
#include <cstdio>
#include <cstring>

#include "veilcastnet.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: vctool info | errors | init SEEDFILE | demo SEEDFILE\n");
    return 2;
}

int initialise(const char* seedFile) {
    const int32_t result = vcInitialize(nullptr, nullptr, nullptr, nullptr, seedFile);
    std::printf("vcInitialize(seed file): %d (%s)\n", result, vcErrorText(result));
    return result;
}

int demo(const char* seedFile) {
    std::fputs(vcInfoText(), stdout);
    const int32_t result = initialise(seedFile);
    if (result == VC_OK) {
        // Without credentials a context cannot be made yet; the answer shows
        // the library got past its start-up check.
        VcContext* context = nullptr;
        const int32_t created =
            vcCreateContext(nullptr, nullptr, nullptr, 0, nullptr, 3, ROLE_CLIENT, &context);
        std::printf("vcCreateContext(no CA list): %d (%s)\n", created, vcErrorText(created));
        vcTerminate();
    }
    std::printf(
        "The handshake is not available yet: client and server cannot connect in this "
        "build.\n");
    return result == VC_OK ? 0 : 1;
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
        const int32_t result = initialise(argv[2]);
        vcTerminate();
        return result == VC_OK ? 0 : 1;
    }
    if (std::strcmp(argv[1], "demo") == 0 && argc == 3) {
        return demo(argv[2]);
    }
    return usage();
}
