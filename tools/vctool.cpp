// vctool: the command-line face of the library. info, errors, init, demo,
// server and client use the public C functions only (demo also borrows the
// certificate reader to print a peer's subject); cert, key and verify read
// credentials with the library's own certificate and key readers, which are
// internal, so the program links the static library.
//
//   vctool info                 print the information text
//   vctool --version            print the version
//   vctool init SEEDFILE        seed the generator from a 512-byte file
//   vctool init --gather        seed it from mouse and keyboard in a window
//   vctool errors               list every result code with its text
//   vctool demo [--seed FILE | --gather]
//                               a server and a client on 127.0.0.1: three
//                               handshakes and sealed data both ways
//   vctool server [options]     accept one connection, relay stdin/stdout
//   vctool client [options]     connect, relay stdin/stdout
//   vctool speed [--seconds S]  time the primitives, RSA and handshakes
//   vctool speed --kernels      the RSA engines' times and the one chosen
//   vctool cert FILE...         show PEM certificates
//   vctool key FILE [--pass-phrase-file F] [--cert CERT.pem]
//                               load an RSA private key, check it against a certificate
//   vctool verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] CERT.pem
//                               check a certificate the way a handshake does
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "credentials.h"
#include "veilcastnet.h"

namespace {

int usage(FILE* out) {
    std::fprintf(out,
                 "usage: vctool info | errors | init SEEDFILE | init --gather | --version\n"
                 "       vctool demo [--seed FILE | --gather]\n"
                 "       vctool server --cert FILE --key FILE [options]   (--help for all)\n"
                 "       vctool client --ca FILE [options]                (--help for all)\n"
                 "       vctool speed [--seconds S] | --kernels\n"
                 "       vctool cert FILE...\n"
                 "       vctool key FILE [--pass-phrase-file FILE] [--cert CERT.pem]\n"
                 "       vctool verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] "
                 "CERT.pem\n");
    return out == stdout ? 0 : vctool::USAGE_ERROR;
}

bool wantsHelp(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            return true;
        }
    }
    return false;
}

// --gather instead of a file seeds through the library's mouse-and-keyboard
// window.
int initialise(const char* seedFile) {
    const bool gather = std::strcmp(seedFile, "--gather") == 0;
    const int32_t result =
        vcInitialize(nullptr, nullptr, nullptr, nullptr, gather ? nullptr : seedFile);
    std::printf("vcInitialize(%s): %d (%s)\n", gather ? "window" : "seed file", result,
                vcErrorText(result));
    vcTerminate();
    return result == VC_OK ? 0 : 1;
}

// Commands that take no options of their own; --help shows the overview.
int simpleCommand(const char* command, int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        return usage(stdout);
    }
    if (std::strcmp(command, "info") == 0 && argc == 0) {
        std::fputs(vcInfoText(), stdout);
        return 0;
    }
    if (std::strcmp(command, "errors") == 0 && argc == 0) {
        for (int32_t code = 0; code <= VC_HANDSHAKE_IN_PROGRESS; ++code) {
            std::printf("%2d %s\n", code, vcErrorText(code));
        }
        return 0;
    }
    if (std::strcmp(command, "init") == 0 && argc == 1) {
        return initialise(argv[0]);
    }
    int status = vctool::USAGE_ERROR;
    if (std::strcmp(command, "cert") == 0) {
        status = vctool::certCommand(argc, argv);
    } else if (std::strcmp(command, "key") == 0) {
        status = vctool::keyCommand(argc, argv);
    } else if (std::strcmp(command, "verify") == 0) {
        status = vctool::verifyCommand(argc, argv);
    }
    return status == vctool::USAGE_ERROR ? usage(stderr) : status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage(stderr);
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
        return usage(stdout);
    }
    if (std::strcmp(command, "--version") == 0 && argc == 2) {
        std::printf("vctool %s\n", VC_VERSION_TEXT);
        return 0;
    }
    if (std::strcmp(command, "speed") == 0) {
        return vctool::speedCommand(argc - 2, argv + 2);
    }
    if (std::strcmp(command, "demo") == 0) {
        return vctool::demoCommand(argc - 2, argv + 2);
    }
    if (std::strcmp(command, "server") == 0) {
        return vctool::serverCommand(argc - 2, argv + 2);
    }
    if (std::strcmp(command, "client") == 0) {
        return vctool::clientCommand(argc - 2, argv + 2);
    }
    return simpleCommand(command, argc - 2, argv + 2);
}
