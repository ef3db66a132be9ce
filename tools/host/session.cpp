// vchost session: one scripted run through all eleven operations, printed as
// a transcript that depends only on what the library answers: result codes,
// texts, lengths, digests of plaintext and what each certificate callback
// was shown, never ciphertext or anything random. The same program built
// for Windows and for Linux must print the same transcript; a script
// compares the two. Besides that, the session checks what needs no second
// platform: every record arrives as it was sealed, and the fingerprint the
// library hands the callback is the MD5 of the certificate it shows.
#include <cstdio>
#include <string>

#include "commands.h"
#include "platform.h"
#include "session.h"

namespace vchost {
namespace session {
namespace {

bool readFile(const std::string& directory, const char* name, std::string* out) {
    std::string error;
    if (!readRegularFile(directory + "/" + name, out, &error)) {
        std::fprintf(stderr, "vchost: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool readTexts(const std::string& directory, Texts* t) {
    const struct {
        const char* name;
        std::string Texts::*text;
    } FILES[] = {
        {"ca.pem", &Texts::ca},
        {"other-ca.pem", &Texts::otherCa},
        {"expired-ca.pem", &Texts::expiredCa},
        {"server.pem", &Texts::server},
        {"server.key", &Texts::serverKey},
        {"server-enc.key", &Texts::serverEncKey},
        {"client.pem", &Texts::client},
        {"client.key", &Texts::clientKey},
        {"client-enc.key", &Texts::clientEncKey},
        {"expired.pem", &Texts::expired},
        {"expired.key", &Texts::expiredKey},
        {"by-expired-ca.pem", &Texts::byExpiredCa},
        {"by-expired-ca.key", &Texts::byExpiredCaKey},
        {"unknown-ca.pem", &Texts::unknownCa},
        {"unknown-ca.key", &Texts::unknownCaKey},
        {"passphrase.txt", &Texts::passPhrase},
    };
    for (const auto& file : FILES) {
        if (!readFile(directory, file.name, &(t->*file.text))) {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace session

int runSession(const Library& library, int argc, char** argv) {
    using namespace session;
    if (argc != 1) {
        std::fprintf(stderr, "vchost: session takes the credentials directory\n");
        return 2;
    }
    Texts t;
    if (!readTexts(argv[0], &t)) {
        return 1;
    }
    libraryTexts(library);
    beforeStartUp(library, t);
    if (!startUp(library, t)) {
        std::fprintf(stderr, "vchost: the library did not start from a seed file\n");
        return 1;
    }
    contexts(library, t);
    connections(library, t);
    for (const Scenario& scenario : scenarios(t)) {
        runScenario(library, scenario);
    }
    library.terminate();
    line("== end: %d failed check(s)", failedChecks());
    std::fflush(stdout);
    return failedChecks() == 0 ? 0 : 1;
}

}  // namespace vchost
