// Result texts and the information text.
#include <gtest/gtest.h>

#include <cstring>
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

// The compiler's date and time texts: "Mmm dd yyyy" and "hh:mm:ss".
bool looksLikeBuildStamp(const std::string& stamp) {
    if (stamp.size() != 20 || stamp[3] != ' ' || stamp[6] != ' ' || stamp[11] != ' ' ||
        stamp[14] != ':' || stamp[17] != ':') {
        return false;
    }
    for (std::size_t i : {7u, 8u, 9u, 10u, 12u, 13u, 15u, 16u, 18u, 19u}) {
        if (stamp[i] < '0' || stamp[i] > '9') {
            return false;
        }
    }
    return true;
}

TEST(InfoText, HasItsPiecesInOrderAndStaysBounded) {
    const std::string text = vcInfoText();
    EXPECT_LE(text.size(), 245u);
    const std::string first = "Veilcastnet (R) Version 2.0 compiled ";
    const std::string protocol = "\nProtocol Version 2.0\n";
    ASSERT_EQ(text.compare(0, first.size(), first), 0) << text;
    EXPECT_TRUE(looksLikeBuildStamp(text.substr(first.size(), 20))) << text;
    ASSERT_EQ(text.compare(first.size() + 20, protocol.size(), protocol), 0) << text;
    const std::string copyright = text.substr(first.size() + 20 + protocol.size());
    EXPECT_EQ(copyright.rfind("Copyright ", 0), 0u) << text;
    EXPECT_EQ(copyright.back(), '\n');
    EXPECT_EQ(copyright.find('\n'), copyright.size() - 1) << "one line";
}

TEST(InfoText, RepeatedCallsGiveTheSameTextNotALongerOne) {
    const std::string first = vcInfoText();
    const char* second = vcInfoText();
    EXPECT_EQ(first, second);
    EXPECT_EQ(second, vcInfoText());  // one buffer, rebuilt in place
}

}  // namespace
