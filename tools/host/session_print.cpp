// How the session prints: its lines, the checks that failed, and the names of
// suites and verify flags as the transcript shows them.
#include <cstdarg>
#include <cstdio>

#include "session.h"

namespace vchost::session {
namespace {

int failures = 0;

}  // namespace

void line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::putchar('\n');
}

void check(bool holds, const char* what) {
    if (!holds) {
        ++failures;
        line("  CHECK FAILED: %s", what);
    }
}

std::string quoted(const char* text) {
    if (text == nullptr) {
        return "(null)";
    }
    std::string out = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            out += "\\n";
        } else {
            if (*c == '"' || *c == '\\') {
                out.push_back('\\');
            }
            out.push_back(*c);
        }
    }
    return out + "\"";
}

const char* suiteName(uint32_t mask) {
    switch (mask) {
        case VC_CIPHER_RC4_128:
            return "RC4-128";
        case VC_CIPHER_DES_EDE3_CBC:
            return "triple-DES-CBC";
        case BOTH:
            return "RC4-128 or triple-DES-CBC";
        default:
            return "other";
    }
}

std::string flagNames(uint32_t flags) {
    constexpr const char* NAMES[] = {"VERIFY_UNREADABLE",    "VERIFY_ISSUER_UNKNOWN",
                                     "VERIFY_SIGNATURE_BAD", "VERIFY_PERIOD",
                                     "VERIFY_CA_PERIOD",     "VERIFY_NAME_MISMATCH"};
    std::string text;
    for (uint32_t bit = 0; bit < 6; ++bit) {
        if ((flags & (1u << bit)) != 0) {
            text.append(text.empty() ? "" : " ").append(NAMES[bit]);
        }
    }
    if ((flags >> 6) != 0) {
        text.append(text.empty() ? "" : " ").append(std::to_string(flags >> 6 << 6));
    }
    return text.empty() ? "none" : text;
}

std::string hex(const uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

int failedChecks() {
    return failures;
}

}  // namespace vchost::session
