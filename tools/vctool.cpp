// vctool: the command-line face of the library. info, errors, init and demo
// use the public C functions only; cert, key and verify read credentials
// with the library's own certificate and key readers, which are internal,
// so the program links the static library.
//
//   vctool info                 print the information text
//   vctool init SEEDFILE        seed the generator from a 512-byte file
//   vctool errors               list every result code with its text
//   vctool demo SEEDFILE        the above in one run, as far as the library goes
//   vctool cert FILE...         show PEM certificates
//   vctool key FILE [--pass-phrase-file F] [--cert CERT.pem]
//                               load an RSA private key, check it against a certificate
//   vctool verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] CERT.pem
//                               check a certificate the way a handshake does
#include <cstdio>
#include <cstring>

#include "credentials.h"
#include "veilcastnet.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vctool info | errors | init SEEDFILE | demo SEEDFILE\n"
                 "       vctool cert FILE...\n"
                 "       vctool key FILE [--pass-phrase-file FILE] [--cert CERT.pem]\n"
                 "       vctool verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] "
                 "CERT.pem\n");
    return vctool::USAGE_ERROR;
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
    int status = vctool::USAGE_ERROR;
    if (std::strcmp(argv[1], "cert") == 0) {
        status = vctool::certCommand(argc - 2, argv + 2);
    } else if (std::strcmp(argv[1], "key") == 0) {
        status = vctool::keyCommand(argc - 2, argv + 2);
    } else if (std::strcmp(argv[1], "verify") == 0) {
        status = vctool::verifyCommand(argc - 2, argv + 2);
    }
    return status == vctool::USAGE_ERROR ? usage() : status;
}
