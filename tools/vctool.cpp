// vctool: the command-line face of the library. info, errors, init and demo
// use the public C functions only; cert, key and verify read credentials
// with the library's own certificate and key readers, which are internal,
// so the program links the static library.
//
//   vctool info                 print the information text
//   vctool init SEEDFILE        seed the generator from a 512-byte file
//   vctool errors               list every result code with its text
//   vctool demo SEEDFILE [DIR]  the above in one run, then server and client
//                               contexts from the credentials in DIR
//   vctool cert FILE...         show PEM certificates
//   vctool key FILE [--pass-phrase-file F] [--cert CERT.pem]
//                               load an RSA private key, check it against a certificate
//   vctool verify --ca CA.pem [--ca CA.pem ...] [--name SERVICE] CERT.pem
//                               check a certificate the way a handshake does
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "credentials.h"
#include "veilcastnet.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vctool info | errors | init SEEDFILE | demo SEEDFILE [CREDENTIALS_DIR]\n"
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

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A context from credential files in dir (key pass phrase from passphrase.txt
// when the key is encrypted); "-" leaves the own certificate and key out.
int32_t makeContext(const std::string& dir, const char* certificate, const char* key, uint32_t role,
                    VcContext** context) {
    const std::string certificateText = readText(dir + "/" + certificate);
    const std::string keyText = readText(dir + "/" + key);
    const std::string passPhrase = readText(dir + "/passphrase.txt");
    const std::string caText = readText(dir + "/ca.pem");
    const PemInput own = {certificateText.data(), static_cast<uint32_t>(certificateText.size())};
    const PemKeyInput ownKey = {keyText.data(), static_cast<uint32_t>(keyText.size()),
                                passPhrase.data(), static_cast<uint32_t>(passPhrase.size())};
    const PemInput ca = {caText.data(), static_cast<uint32_t>(caText.size())};
    const bool withOwn = std::strcmp(certificate, "-") != 0;
    const int32_t result =
        vcCreateContext(withOwn ? &own : nullptr, withOwn ? &ownKey : nullptr, &ca, 1, nullptr,
                        VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC, role, context);
    std::printf("vcCreateContext(%s, %s, CA ca.pem, role %u): %d (%s)\n", certificate, key, role,
                result, vcErrorText(result));
    return result;
}

int demo(const char* seedFile, const char* credentials) {
    std::fputs(vcInfoText(), stdout);
    int32_t result = initialise(seedFile);
    if (result == VC_OK && credentials != nullptr) {
        VcContext* server = nullptr;
        VcContext* client = nullptr;
        result = makeContext(credentials, "server.pem", "server-enc.key", ROLE_SERVER, &server);
        if (result == VC_OK) {
            result = makeContext(credentials, "-", "-", ROLE_CLIENT, &client);
        }
        vcDestroyContext(client);
        vcDestroyContext(server);
    }
    vcTerminate();
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
    if (std::strcmp(argv[1], "demo") == 0 && (argc == 3 || argc == 4)) {
        return demo(argv[2], argc == 4 ? argv[3] : nullptr);
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
