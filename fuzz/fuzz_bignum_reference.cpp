// Division and modular exponentiation against the bit-at-a-time reference
// in reference_bignum.h. The first byte picks the operation; then come the
// operands, each as two bytes of length and that many big-endian bytes.
// Division takes any operands the type holds; exponentiation takes what
// its callers may pass (n odd, at most 128 words, exponent non-zero) with
// sizes bounded so the slow reference keeps a run short, through every
// engine: variable-time, short-exponent and constant-time, both limb widths.
#include <cstddef>
#include <cstdint>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"
#include "reference_bignum.h"
#include "support.h"

using fuzzsupport::Reader;

namespace {

void takeNumber(Reader& in, vc::BigNum* out, size_t limit) {
    size_t length = 0;
    const uint8_t* bytes = in.take(in.u16() % (limit + 1), &length);
    vc::bigNumFromBytes(bytes, static_cast<uint32_t>(length), out);
}

void checkDivision(Reader& in) {
    static vc::BigNum a, b, q, r;
    takeNumber(in, &a, 1024);
    takeNumber(in, &b, 1024);
    vc::bigNumDiv(&a, &b, &q, &r);
    if (b.length == 0) {
        FUZZ_REQUIRE(q.length == 0 && r.length == 0);
        return;
    }
    reference::Number wantQ;
    reference::Number wantR;
    reference::divide(reference::fromBigNum(a), reference::fromBigNum(b), &wantQ, &wantR);
    FUZZ_REQUIRE(reference::equals(wantQ, q));
    FUZZ_REQUIRE(reference::equals(wantR, r));
}

// One engine on its own storage against the reference's answer.
template <typename Work, void (*Engine)(const vc::BigNum*, const vc::BigNum*, const vc::BigNum*,
                                        vc::BigNum*, Work*) noexcept>
void checkEngine(const vc::BigNum& base, const vc::BigNum& exponent, const vc::BigNum& n,
                 const reference::Number& want) {
    static Work work;
    static vc::BigNum out;
    Engine(&base, &exponent, &n, &out, &work);
    FUZZ_REQUIRE(reference::equals(want, out));
}

void checkExponentiation(Reader& in) {
    static vc::BigNum base, exponent, n, out;
    // Moduli up to 256 bits with exponents up to 128, or up to 4096 bits
    // with exponents of one byte; the reference's work grows with both.
    const bool wide = (in.byte() & 1u) != 0;
    takeNumber(in, &n, wide ? 512 : 32);
    takeNumber(in, &exponent, wide ? 1 : 16);
    takeNumber(in, &base, wide ? 512 : 64);
    if (n.length == 0 || (n.words[0] & 1u) == 0 || exponent.length == 0 || n.length > 128) {
        return;
    }
    // A last byte turns processor kernels off (none: all of them run), so
    // every kernel this machine has meets the reference, and so does the
    // portable code.
    vc::bigNumAllowKernels(~static_cast<uint32_t>(in.byte()) & vc::BIGNUM_KERNELS_ALL);
    vc::bigNumModExp(&base, &exponent, &n, &out);
    const reference::Number want = reference::modExp(
        reference::fromBigNum(base), reference::fromBigNum(exponent), reference::fromBigNum(n));
    FUZZ_REQUIRE(reference::equals(want, out));
    checkEngine<vc::ModExpWork32, vc::bigNumModExpInterleaved32>(base, exponent, n, want);
    if (exponent.length <= 2) {
        checkEngine<vc::ModExpShortWork<uint32_t>, vc::bigNumModExpShort32>(base, exponent, n,
                                                                            want);
    }
    // The constant-time engines walk a modulus-sized exponent whatever its
    // value, so they take moduli up to 512 bits, where that stays quick.
    if (exponent.length <= n.length && n.length <= 16) {
        checkEngine<vc::ModExpSecretWork32, vc::bigNumModExpSecret32>(base, exponent, n, want);
#if defined(__SIZEOF_INT128__)
        checkEngine<vc::ModExpSecretWork64, vc::bigNumModExpSecret64>(base, exponent, n, want);
#endif
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    if ((in.byte() & 1u) == 0) {
        checkDivision(in);
    } else {
        checkExponentiation(in);
    }
    return 0;
}
