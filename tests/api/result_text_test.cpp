// Result texts and the information text.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "veilcastnet.h"

namespace {

TEST(ResultText, EveryCodeHasItsText) {
    const char* expected[] = {
        "no error",
        "initialization failed",
        "not initialized",
        "no memory available",
        "no certificate",
        "certificate bad",
        "no private key",
        "passphrase bad",
        "private key bad",
        "privKey/cert do not match",
        "no CA certificates",
        "CA certificates bad",
        "empty cipher list",
        "role bad",
        "no context",
        "no servicename",
        "receive more data",
        "send data",
        "connection closed",
        "decryption failed",
        "no common cipher",
        "certificate invalid",
        "certificate refused",
        "wrong servicename",
        "RSA operation failed",
        "no connection",
        "handshake in progress",
    };
    static_assert(sizeof(expected) / sizeof(expected[0]) == 27);
    for (int32_t code = 0; code < 27; ++code) {
        EXPECT_STREQ(vcErrorText(code), expected[code]) << "code " << code;
    }
}

TEST(ResultText, CodesOutsideTheTableAreUnknown) {
    for (int32_t code : {-1, 27, 28, 100, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(vcErrorText(code), "unknown error") << "code " << code;
    }
}

TEST(InfoText, HasItsPiecesInOrderAndStaysBounded) {
    const std::string text = vcInfoText();
    EXPECT_LE(text.size(), 245u);
    const std::regex shape(
        "Veilcastnet \\(R\\) Version 2\\.0 compiled "
        "[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}"
        "\nProtocol Version 2\\.0\n"
        "Copyright [^\n]+\n");
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST(InfoText, RepeatedCallsGiveTheSameTextNotALongerOne) {
    const std::string first = vcInfoText();
    const char* second = vcInfoText();
    EXPECT_EQ(first, second);
    EXPECT_EQ(second, vcInfoText());  // one buffer, rebuilt in place
}

}  // namespace
