// RSA encryption, decryption, signing and signature recovery with PKCS#1 v1.5
// block formats. Never allocates, never writes an output on failure, and
// never leaves a padded block or an intermediate value of a private
// operation in memory after returning.
#include "bignum/rsa.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "crypto/random_pool.h"
#include "support/constant_time.h"
#include "support/platform.h"
#include "support/secure_wipe.h"

namespace vc {

// AlgorithmIdentifier of MD5 (OID 1.2.840.113549.2.5, NULL parameters) inside
// the DigestInfo SEQUENCE, followed by the OCTET STRING header of the digest.
const uint8_t md5DigestInfoPrefix[18] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                         0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};

namespace {

// 4096-bit moduli: every product of two residues still fits a BigNum.
constexpr uint32_t RSA_MAX_MODULUS_WORDS = 128;
constexpr uint32_t RSA_MAX_BLOCK_BYTES = RSA_MAX_MODULUS_WORDS * 4;
// 00, block type, at least eight padding bytes, 00 separator.
constexpr uint32_t PKCS1_MIN_PADDING = 8;
constexpr uint32_t PKCS1_OVERHEAD = 3 + PKCS1_MIN_PADDING;
// The separator may stand no earlier than after the minimum padding.
constexpr uint32_t PKCS1_FIRST_SEPARATOR = 2 + PKCS1_MIN_PADDING;
constexpr uint8_t BLOCK_TYPE_SIGNATURE = 0x01;
constexpr uint8_t BLOCK_TYPE_ENCRYPTION = 0x02;

// A CRT signature that fails its check is recomputed this many times in all.
// The computation is deterministic, so a second failure means the CRT members
// do not belong to n, e and d (or a fault keeps recurring); then d and n are
// used, which signs correctly for any key whose n, e and d agree. A failed
// CRT signature itself is never released: it would reveal a factor of n.
constexpr int CRT_SIGN_ATTEMPTS = 3;

bool isPresent(const BigNum& value) noexcept {
    return value.length != 0;
}

bool isOdd(const BigNum& value) noexcept {
    return value.length != 0 && (value.words[0] & 1u) != 0;
}

// The checks shared by all four operations, in their fixed order: an
// over-long modulus is reported before anything else about the key.
CryptoStatus checkKey(const BigNum& n, bool exponentsPresent, uint32_t* k) noexcept {
    if (n.length > RSA_MAX_MODULUS_WORDS) {
        return CRYPTO_MODULUS_TOO_LONG;
    }
    if (!isPresent(n) || !exponentsPresent || !isOdd(n)) {
        return CRYPTO_KEY_UNUSABLE;
    }
    const uint32_t top = n.words[n.length - 1];  // non-zero: n is normalised
    uint32_t leadingZeroBytes = 0;
    if (top < 0x100u) {
        leadingZeroBytes = 3;
    } else if (top < 0x10000u) {
        leadingZeroBytes = 2;
    } else if (top < 0x1000000u) {
        leadingZeroBytes = 1;
    }
    *k = 4 * n.length - leadingZeroBytes;
    return CRYPTO_OK;
}

// The common front of encryption and signing: the key checks, then room in
// the k-byte block for the data and at least the minimum padding.
CryptoStatus checkFraming(const BigNum& n, bool exponentsPresent, uint32_t dataLength,
                          uint32_t* k) noexcept {
    const CryptoStatus keyStatus = checkKey(n, exponentsPresent, k);
    if (keyStatus != CRYPTO_OK) {
        return keyStatus;
    }
    if (*k < PKCS1_OVERHEAD || dataLength > *k - PKCS1_OVERHEAD) {
        return CRYPTO_DATA_TOO_LONG;
    }
    return CRYPTO_OK;
}

// The exponentiation is defined for odd moduli of at most 128 words; a
// longer prime could not belong to an n that passed the key checks.
bool crtUsable(const RsaPrivateKey& key) noexcept {
    return isPresent(key.dP) && isPresent(key.dQ) && isPresent(key.qInv) && isOdd(key.p) &&
           isOdd(key.q) && key.p.length <= RSA_MAX_MODULUS_WORDS &&
           key.q.length <= RSA_MAX_MODULUS_WORDS;
}

// Reads a k-byte input block and refuses a value of zero or not below n.
bool loadInputBlock(const uint8_t* input, uint32_t k, const BigNum& n, BigNum* c) noexcept {
    bigNumFromBytes(input, k, c);
    BigNum difference;
    const uint32_t borrow = bigNumSub(&n, c, &difference);
    return borrow == 0 && difference.length != 0 && c->length != 0;
}

// EM = 00 || type || padding || 00 || data, k bytes; the caller fills the
// padding of type 2 itself.
void frameBlock(uint8_t* em, uint32_t k, uint8_t type, const uint8_t* data,
                uint32_t dataLength) noexcept {
    em[0] = 0x00;
    em[1] = type;
    em[k - dataLength - 1] = 0x00;
    if (dataLength != 0) {
        std::memcpy(em + (k - dataLength), data, dataLength);
    }
}

// Position of the zero separator of a decrypted type 2 block, scanned from
// index 2, and whether the block is well formed. Every byte of the block is
// read and no branch or address depends on its contents, so the time taken
// shows neither where the padding fails nor where the separator stands.
struct SeparatorScan {
    uint32_t separator;
    uint32_t validMask;
};

SeparatorScan scanEncryptionBlock(const uint8_t* em, uint32_t k) noexcept {
    uint32_t found = 0;
    uint32_t separator = k;
    for (uint32_t i = 2; i < k; ++i) {
        const uint32_t isZero = ctIsZero(em[i]);
        const uint32_t firstZero = isZero & ~found;
        separator = ctSelect(firstZero, i, separator);
        found |= isZero;
    }
    uint32_t valid = ctIsZero(em[0]) & ctEqual(em[1], BLOCK_TYPE_ENCRYPTION);
    valid &= found;
    valid &= ~ctLess(separator, PKCS1_FIRST_SEPARATOR);
    return SeparatorScan{separator, valid};
}

void crtExponentiate(const BigNum& base, const RsaPrivateKey& key, BigNum* out) noexcept {
    bigNumModExpCrt(&base, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, out);
}

constexpr uint32_t SLOT_EMPTY = 0;
constexpr uint32_t SLOT_READY = 1;
constexpr uint32_t SLOT_UNBLINDABLE = 2;

// What one private operation blinds with, as BigNums for the arithmetic.
struct BlindingUse {
    uint32_t radix;  // bits of the R of aR and bR
    BigNum aR;
    BigNum bR;
    BigNum rrP;
    BigNum rrQ;
};

void packResidue(const BigNum& value, RsaResidue* out) noexcept {
    std::memcpy(out->words, value.words, sizeof(out->words));
    out->length = value.length;
}

void unpackResidue(const RsaResidue& value, BigNum* out) noexcept {
    std::memcpy(out->words, value.words, sizeof(value.words));
    std::memset(out->words + RSA_RESIDUE_WORDS, 0,
                sizeof(out->words) - RSA_RESIDUE_WORDS * sizeof(uint32_t));
    out->length = value.length;
}

// FNV-1a over the words of n: n is public, and the tag only has to tell a
// record reloaded in place with another key from the one a slot was made for.
uint64_t modulusTag(const BigNum& n) noexcept {
    uint64_t hash = 0xCBF29CE484222325u ^ n.length;
    for (uint32_t i = 0; i < n.length && i < RSA_RESIDUE_WORDS; ++i) {
        hash = (hash ^ n.words[i]) * 0x100000001B3u;
    }
    return hash;
}

// Fibonacci hashing spreads consecutive thread ids over the slots.
uint32_t homeSlot() noexcept {
    return (platformThreadId() * 0x9E3779B9u) >> (32 - RSA_BLINDING_SLOT_BITS);
}

bool tryLockSlot(RsaBlindingSlot& slot) noexcept {
    std::atomic_ref<uint32_t> word(slot.lock);
    // Reading first keeps a held slot's line shared among the threads that
    // look at it, instead of bouncing it with a write from each.
    return word.load(std::memory_order_relaxed) == 0 &&
           word.exchange(1, std::memory_order_acquire) == 0;
}

void lockSlot(RsaBlindingSlot& slot) noexcept {
    while (!tryLockSlot(slot)) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

void unlockSlot(RsaBlindingSlot& slot) noexcept {
    std::atomic_ref<uint32_t>(slot.lock).store(0, std::memory_order_release);
}

// Releases a slot that is held when the scope ends.
class HeldSlot {
  public:
    explicit HeldSlot(RsaBlindingSlot& slot) noexcept : slot_(slot) {}
    ~HeldSlot() { unlockSlot(slot_); }
    HeldSlot(const HeldSlot&) = delete;
    HeldSlot& operator=(const HeldSlot&) = delete;

  private:
    RsaBlindingSlot& slot_;
};

// The home slot if it is free, else the first free one after it; when all
// are held, the home slot once its holder lets go. Returned held.
RsaBlindingSlot& takeSlot(const RsaPrivateKey& key) noexcept {
    RsaBlindingSlot* slots = key.blinding.slots;
    const uint32_t home = homeSlot();
    for (uint32_t i = 0; i < RSA_BLINDING_SLOTS; ++i) {
        RsaBlindingSlot& slot = slots[(home + i) % RSA_BLINDING_SLOTS];
        if (tryLockSlot(slot)) {
            return slot;
        }
    }
    lockSlot(slots[home]);
    return slots[home];
}

bool slotBelongsTo(const RsaBlindingSlot& slot, const RsaPrivateKey& key, uint64_t tag) noexcept {
    return slot.owner == &key && slot.modulusTag == tag && slot.ready != SLOT_EMPTY;
}

// Stores the pair that follows use (r^2 for r) in a held slot: each pair
// blinds one operation only.
void storeSuccessor(const BlindingUse& use, const RsaPrivateKey& key, uint64_t tag,
                    RsaBlindingSlot* slot, BigNum* scratch) noexcept {
    bigNumBlindingMul(&use.aR, &use.aR, &key.n, use.radix, scratch);
    packResidue(*scratch, &slot->aR);
    bigNumBlindingMul(&use.bR, &use.bR, &key.n, use.radix, scratch);
    packResidue(*scratch, &slot->bR);
    slot->radix = use.radix;
    packResidue(use.rrP, &slot->rrP);
    packResidue(use.rrQ, &slot->rrQ);
    slot->owner = &key;
    slot->modulusTag = tag;
    slot->ready = SLOT_READY;
}

// A new pair for key: r from the random pool, a = r^e by the secret engine
// (r is secret), and r^-1 as r^(p-2) mod p and r^(q-2) mod q joined by
// Garner's step, also constant-time. The pair is used only if it works:
// r b = 1 and (r^e)^d = r through the CRT members, so a key whose members
// do not agree with each other is never blinded into a different answer.
enum class MadeBlinding { OK, NO_RANDOM, KEY_DISAGREES };

MadeBlinding makeBlinding(const RsaPrivateKey& key, uint32_t k, BlindingUse* use) noexcept {
    struct {
        uint8_t bytes[RSA_MAX_BLOCK_BYTES];
        BigNum r;
        BigNum pMinus2;
        BigNum qMinus2;
        BigNum check;
        BigNum rr;
        BigNum a;
        BigNum b;
    } s;
    WipeOnExit wipe(s);
    // k - 1 bytes: below n, whose top byte is not zero.
    if (k < 2 || randomBytes(s.bytes, k - 1) != 0) {
        return MadeBlinding::NO_RANDOM;
    }
    bigNumFromBytes(s.bytes, k - 1, &s.r);
    if (s.r.length == 0) {
        return MadeBlinding::NO_RANDOM;  // drawn again next time
    }
    BigNum two;
    two.words[0] = 2;
    two.length = 1;
    if (bigNumSub(&key.p, &two, &s.pMinus2) != 0 || bigNumSub(&key.q, &two, &s.qMinus2) != 0) {
        return MadeBlinding::KEY_DISAGREES;
    }
    bigNumRadixSquared(&key.p, &use->rrP);
    bigNumRadixSquared(&key.q, &use->rrQ);
    use->radix = bigNumBlindingRadix(&key.n);
    bigNumBlindingRadixSquared(&key.n, use->radix, &s.rr);
    bigNumModExpSecret(&s.r, &key.e, &key.n, &s.a);
    bigNumModExpCrt(&s.r, &s.pMinus2, &s.qMinus2, &key.p, &key.q, &key.qInv, &s.b);
    bigNumBlindingMul(&s.a, &s.rr, &key.n, use->radix, &use->aR);
    bigNumBlindingMul(&s.b, &s.rr, &key.n, use->radix, &use->bR);
    // r b R / R = 1.
    bigNumBlindingMul(&s.r, &use->bR, &key.n, use->radix, &s.check);
    if (s.check.length != 1 || s.check.words[0] != 1) {
        return MadeBlinding::KEY_DISAGREES;  // or r shares a factor with n
    }
    crtExponentiate(s.a, key, &s.check);
    return bigNumEqual(&s.check, &s.r) != 0 ? MadeBlinding::OK : MadeBlinding::KEY_DISAGREES;
}

// Not tried again for this record and modulus, in any slot: the check
// costs more than the operation.
void markUnblindable(const RsaPrivateKey& key, uint64_t tag) noexcept {
    for (RsaBlindingSlot& slot : key.blinding.slots) {
        lockSlot(slot);
        const HeldSlot held(slot);
        for (RsaResidue* secret : {&slot.aR, &slot.bR, &slot.rrP, &slot.rrQ}) {
            secureWipeObject(*secret);
        }
        slot.owner = &key;
        slot.modulusTag = tag;
        slot.ready = SLOT_UNBLINDABLE;
    }
}

// The pair for one private operation, and its slot advanced for the next.
// false when the key cannot be blinded (no CRT members or no e) or the
// random pool gives nothing (not seeded): then the operation runs
// unblinded, still on the constant-time engine, rather than failing.
bool nextBlinding(const RsaPrivateKey& key, uint32_t k, BlindingUse* use,
                  BigNum* scratch) noexcept {
    if (!isPresent(key.e)) {
        return false;
    }
    const uint64_t tag = modulusTag(key.n);
    RsaBlindingSlot& slot = takeSlot(key);
    {
        const HeldSlot held(slot);
        if (slotBelongsTo(slot, key, tag)) {
            if (slot.ready == SLOT_UNBLINDABLE) {
                return false;
            }
            use->radix = slot.radix;
            unpackResidue(slot.aR, &use->aR);
            unpackResidue(slot.bR, &use->bR);
            unpackResidue(slot.rrP, &use->rrP);
            unpackResidue(slot.rrQ, &use->rrQ);
            storeSuccessor(*use, key, tag, &slot, scratch);
            return true;
        }
    }
    // Made outside the lock: it costs a few private operations, once per
    // slot, and the other threads meanwhile find their pairs elsewhere.
    const MadeBlinding made = makeBlinding(key, k, use);
    if (made == MadeBlinding::KEY_DISAGREES) {
        markUnblindable(key, tag);
        return false;
    }
    if (made != MadeBlinding::OK) {
        return false;
    }
    lockSlot(slot);
    const HeldSlot held(slot);
    // Another thread may have filled it meanwhile; its pair stays.
    if (!slotBelongsTo(slot, key, tag)) {
        storeSuccessor(*use, key, tag, &slot, scratch);
    }
    return true;
}

// base^d mod n through the CRT members, blinded when possible: (base a)^d
// = base^d r, and b takes r off again. The exponentiation never sees base
// itself, so even a leak in it would not relate to the chosen input.
void blindedCrt(const BigNum& base, const RsaPrivateKey& key, uint32_t k, BigNum* out) noexcept {
    struct {
        BlindingUse use;
        BigNum blinded;
        BigNum result;
    } s;
    WipeOnExit wipe(s);
    if (!nextBlinding(key, k, &s.use, &s.result)) {
        crtExponentiate(base, key, out);
        return;
    }
    bigNumBlindingMul(&base, &s.use.aR, &key.n, s.use.radix, &s.blinded);
    bigNumModExpCrtWithRadix(&s.blinded, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &s.use.rrP,
                             &s.use.rrQ, &s.result);
    bigNumBlindingMul(&s.result, &s.use.bR, &key.n, s.use.radix, out);
}

void privateExponentiate(const BigNum& base, const RsaPrivateKey& key, uint32_t k,
                         BigNum* out) noexcept {
    if (crtUsable(key)) {
        blindedCrt(base, key, k, out);
    } else {
        bigNumModExpSecret(&base, &key.d, &key.n, out);
    }
}

// The common front of decryption and recovery: the key checks, then the
// input block must be exactly k bytes with a value in [1, n). em receives
// its image under exponent (d or e), k bytes; a private key passed as crtKey
// may take the CRT path instead.
CryptoStatus openInputBlock(const uint8_t* input, uint32_t inputLength, const BigNum& n,
                            const BigNum& exponent, const RsaPrivateKey* crtKey, uint8_t* em,
                            uint32_t* k) noexcept {
    const CryptoStatus keyStatus = checkKey(n, isPresent(exponent), k);
    if (keyStatus != CRYPTO_OK) {
        return keyStatus;
    }
    // k <= 2 leaves no room for the block type: refused whatever the input.
    if (inputLength != *k || *k <= 2) {
        return CRYPTO_BLOCK_REFUSED;
    }
    BigNum c;
    if (!loadInputBlock(input, *k, n, &c)) {
        return CRYPTO_BLOCK_REFUSED;
    }
    BigNum m;
    WipeOnExit wipeResult(m);
    if (crtKey != nullptr) {
        privateExponentiate(c, *crtKey, *k, &m);
    } else {
        bigNumModExp(&c, &exponent, &n, &m);
    }
    bigNumToBytes(em, *k, &m);
    return CRYPTO_OK;
}

// The data after the separator at index separator of a k-byte block.
void emitData(const uint8_t* em, uint32_t k, uint32_t separator, uint8_t* out,
              uint32_t* outLength) noexcept {
    const uint32_t dataLength = k - separator - 1;
    if (dataLength != 0) {
        std::memcpy(out, em + separator + 1, dataLength);
    }
    *outLength = dataLength;
}

}  // namespace

CryptoStatus rsaPublicEncrypt(const uint8_t* input, uint32_t inputLength, const RsaPublicKey* key,
                              uint8_t* out, uint32_t* outLength) {
    if (key == nullptr) {
        return CRYPTO_KEY_UNUSABLE;
    }
    uint32_t k = 0;
    const CryptoStatus status = checkFraming(key->n, isPresent(key->e), inputLength, &k);
    if (status != CRYPTO_OK) {
        return status;
    }

    uint8_t em[RSA_MAX_BLOCK_BYTES];
    BigNum m;
    WipeOnExit wipeBlock(em);
    WipeOnExit wipeMessage(m);
    const uint32_t separator = k - inputLength - 1;
    // The padding in one draw (a draw costs hashing per call, and a 2048-bit
    // block has some 200 padding bytes), then each zero byte drawn again
    // until it is not zero: the padding must not contain the separator
    // value, and every padding byte stays uniform over 1..255.
    if (randomBytes(em + 2, separator - 2) != 0) {
        return CRYPTO_NO_RANDOM;
    }
    for (uint32_t i = 2; i < separator; ++i) {
        while (em[i] == 0) {
            if (randomBytes(em + i, 1) != 0) {
                return CRYPTO_NO_RANDOM;
            }
        }
    }
    frameBlock(em, k, BLOCK_TYPE_ENCRYPTION, input, inputLength);

    BigNum c;
    bigNumFromBytes(em, k, &m);
    bigNumModExp(&m, &key->e, &key->n, &c);
    bigNumToBytes(out, k, &c);
    *outLength = k;
    return CRYPTO_OK;
}

CryptoStatus rsaPrivateDecrypt(const uint8_t* input, uint32_t inputLength, const RsaPrivateKey* key,
                               uint8_t* out, uint32_t* outLength) {
    if (key == nullptr) {
        return CRYPTO_KEY_UNUSABLE;
    }
    uint32_t k = 0;
    uint8_t em[RSA_MAX_BLOCK_BYTES];
    WipeOnExit wipeBlock(em);
    const CryptoStatus status = openInputBlock(input, inputLength, key->n, key->d, key, em, &k);
    if (status != CRYPTO_OK) {
        return status;
    }
    const SeparatorScan scan = scanEncryptionBlock(em, k);
    // Only the verdict is branched on; it becomes public through the result.
    if (scan.validMask == 0) {
        return CRYPTO_BLOCK_REFUSED;
    }
    emitData(em, k, scan.separator, out, outLength);
    return CRYPTO_OK;
}

CryptoStatus rsaPrivateSign(const uint8_t* input, uint32_t inputLength, const RsaPrivateKey* key,
                            uint8_t* out, uint32_t* outLength) {
    if (key == nullptr) {
        return CRYPTO_KEY_UNUSABLE;
    }
    uint32_t k = 0;
    const CryptoStatus status =
        checkFraming(key->n, isPresent(key->d) && isPresent(key->e), inputLength, &k);
    if (status != CRYPTO_OK) {
        return status;
    }

    uint8_t em[RSA_MAX_BLOCK_BYTES];
    BigNum m;
    BigNum s;
    BigNum check;
    WipeOnExit wipeBlock(em);
    WipeOnExit wipeMessage(m);
    WipeOnExit wipeSignature(s);
    WipeOnExit wipeCheck(check);
    std::memset(em + 2, 0xFF, k - inputLength - 3);
    frameBlock(em, k, BLOCK_TYPE_SIGNATURE, input, inputLength);
    bigNumFromBytes(em, k, &m);

    bool signedOk = false;
    if (crtUsable(*key)) {
        for (int attempt = 0; attempt < CRT_SIGN_ATTEMPTS && !signedOk; ++attempt) {
            blindedCrt(m, *key, k, &s);
            bigNumModExp(&s, &key->e, &key->n, &check);
            signedOk = bigNumEqual(&check, &m) != 0;
        }
    }
    if (!signedOk) {
        bigNumModExpSecret(&m, &key->d, &key->n, &s);
    }
    bigNumToBytes(out, k, &s);
    *outLength = k;
    return CRYPTO_OK;
}

CryptoStatus rsaPublicRecover(const uint8_t* input, uint32_t inputLength, const RsaPublicKey* key,
                              uint8_t* out, uint32_t* outLength) {
    if (key == nullptr) {
        return CRYPTO_KEY_UNUSABLE;
    }
    uint32_t k = 0;
    uint8_t em[RSA_MAX_BLOCK_BYTES];
    const CryptoStatus status = openInputBlock(input, inputLength, key->n, key->e, nullptr, em, &k);
    if (status != CRYPTO_OK) {
        return status;
    }
    // Everything here is public (a signature and a public key), so the scan
    // may stop at the first byte that decides.
    if (em[0] != 0x00 || em[1] != BLOCK_TYPE_SIGNATURE) {
        return CRYPTO_BLOCK_REFUSED;
    }
    uint32_t i = 2;
    while (i < k && em[i] != 0x00) {
        if (em[i] != 0xFF) {
            return CRYPTO_BLOCK_REFUSED;
        }
        ++i;
    }
    if (i < PKCS1_FIRST_SEPARATOR || i == k) {
        return CRYPTO_BLOCK_REFUSED;
    }
    emitData(em, k, i, out, outLength);
    return CRYPTO_OK;
}

}  // namespace vc
