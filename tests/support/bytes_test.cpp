// Byte-order loads and stores. The same checks run once in a constant
// expression (the shifts) and once at run time (the move and swap).
#include <gtest/gtest.h>

#include "support/bytes.h"

namespace {

constexpr uint8_t BYTES[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// Each width and order reads p's first bytes as the expected value, and
// writes them, and nothing after them, from it.
constexpr bool bytesAgree(const uint8_t* p) {
    uint8_t b[6][8] = {};
    vc::storeBe16(b[0], 0x0102);
    vc::storeLe16(b[1], 0x0201);
    vc::storeBe32(b[2], 0x01020304);
    vc::storeLe32(b[3], 0x04030201);
    vc::storeBe64(b[4], 0x0102030405060708);
    vc::storeLe64(b[5], 0x0807060504030201);
    const int widths[6] = {2, 2, 4, 4, 8, 8};
    bool same = vc::loadBe16(p) == 0x0102 && vc::loadLe16(p) == 0x0201 &&
                vc::loadBe32(p) == 0x01020304 && vc::loadLe32(p) == 0x04030201 &&
                vc::loadBe64(p) == 0x0102030405060708 && vc::loadLe64(p) == 0x0807060504030201;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 8; ++j) {
            same = same && b[i][j] == (j < widths[i] ? p[j] : 0);
        }
    }
    return same;
}

static_assert(bytesAgree(BYTES));

TEST(Bytes, LoadsAndStoresAtRunTime) {
    const uint8_t copy[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(bytesAgree(copy));
}

}  // namespace
