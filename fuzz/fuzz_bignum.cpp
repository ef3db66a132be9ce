// Arithmetic invariants on arbitrary operands: a = q*b + r with r < b,
// multiplication commutes, squaring equals self-multiplication, and
// subtraction undoes addition. Nothing may read or write out of range.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bignum/bignum.h"

using vc::BigNum;

namespace {

void require(bool condition, int line) {
    if (!condition) {
        std::fprintf(stderr, "invariant at line %d broken\n", line);
        std::abort();
    }
}
#define REQUIRE(condition) require((condition), __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes say where a ends; the rest of the input is b.
    const size_t split = ((static_cast<size_t>(data[0]) << 8) | data[1]) % (size - 1);
    const uint8_t* body = data + 2;
    const size_t bodySize = size - 2;
    const size_t aSize = split < bodySize ? split : bodySize;

    static BigNum a, b, q, r, product, other, sum, back;
    vc::bigNumFromBytes(body, static_cast<uint32_t>(aSize), &a);
    vc::bigNumFromBytes(body + aSize, static_cast<uint32_t>(bodySize - aSize), &b);

    vc::bigNumMul(&a, &b, &product);
    vc::bigNumMul(&b, &a, &other);
    REQUIRE(vc::bigNumEqual(&product, &other));
    if (a.length * 2 <= vc::BIGNUM_MAX_WORDS) {
        vc::bigNumSquare(&a, &product);
        vc::bigNumMul(&a, &a, &other);
        REQUIRE(vc::bigNumEqual(&product, &other));
    }

    if (vc::bigNumAdd(&a, &b, &sum) == 0) {
        REQUIRE(vc::bigNumSub(&sum, &b, &back) == 0);
        REQUIRE(vc::bigNumEqual(&back, &a));
    }

    if (b.length != 0) {
        vc::bigNumDiv(&a, &b, &q, &r);
        REQUIRE(vc::bigNumSub(&r, &b, &back) == 1);  // r < b
        if (q.length + b.length > vc::BIGNUM_MAX_WORDS) {
            return 0;  // q*b would not fit the capacity, so it cannot be formed
        }
        vc::bigNumMul(&q, &b, &product);
        if (q.length != 0) {
            vc::bigNumAdd(&product, &r, &sum);
        } else {
            sum = r;
        }
        REQUIRE(vc::bigNumEqual(&sum, &a));
    }
    return 0;
}
