// Result texts and the information text.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "support/test_vectors.h"
#include "veilcastnet.h"

namespace {

TEST(ResultText, EveryCodeHasItsTextAndOthersAreUnknown) {
    for (const auto& row : vctest::readVec("result_text.vec", "Code", 33)) {
        EXPECT_EQ(vcErrorText(std::stoi(row.fields.at(1))), row.value) << "code " << row.fields[1];
    }
}

// The build stamp is the compiler's date and time texts, "Mmm dd yyyy" and
// "hh:mm:ss" ('#' in the pattern is a digit, '?' any character); the
// copyright is one line. Every call rebuilds the text in the same buffer
// instead of appending to what an earlier call left.
TEST(InfoText, HasItsPiecesInOrderAndStaysBounded) {
    const char* first = vcInfoText();
    const std::string text = vcInfoText();
    EXPECT_EQ(first, vcInfoText());
    EXPECT_LE(text.size(), 245u);
    const std::string pattern =
        "Veilcastnet (R) Version 2.0 compiled ??? ?? #### ##:##:##\n"
        "Protocol Version 2.0\nCopyright ";
    ASSERT_GT(text.size(), pattern.size()) << text;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char want = pattern[i];
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        EXPECT_TRUE(want == '?' || (want == '#' ? digit : text[i] == want)) << text << " at " << i;
    }
    EXPECT_EQ(text.find('\n', pattern.size()), text.size() - 1) << text;
}

}  // namespace
