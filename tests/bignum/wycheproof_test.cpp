// The imported RSAES-PKCS1-v1_5 decryption vectors (data/wycheproof, with
// their licence) through rsaPrivateDecrypt: a "valid" case must decrypt to
// exactly its message, an "invalid" one must be refused, and every refusal
// must carry the one status a refused block has, whatever was wrong with
// it. An "acceptable" case (none in the current files) may go either way,
// but a success must still give the message: we accept any block that is
// well formed by our own rules and nothing else.
#include <gtest/gtest.h>

#include <string>

#include "bignum/rsa.h"
#include "support/mini_json.h"
#include "support/test_vectors.h"

namespace {

using vctest::Bytes;
using vctest::JsonValue;

vc::BigNum numberOf(const JsonValue& hex) {
    const Bytes bytes = vctest::fromHex(hex.text);
    vc::BigNum out;
    vc::bigNumFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), &out);
    return out;
}

vc::RsaPrivateKey keyOf(const JsonValue& fields) {
    vc::RsaPrivateKey key{};
    key.n = numberOf(fields["modulus"]);
    key.e = numberOf(fields["publicExponent"]);
    key.d = numberOf(fields["privateExponent"]);
    key.p = numberOf(fields["prime1"]);
    key.q = numberOf(fields["prime2"]);
    key.dP = numberOf(fields["exponent1"]);
    key.dQ = numberOf(fields["exponent2"]);
    key.qInv = numberOf(fields["coefficient"]);
    return key;
}

vc::RsaPrivateKey withoutCrt(const vc::RsaPrivateKey& key) {
    vc::RsaPrivateKey out = key;
    out.dP.length = 0;
    return out;
}

class Wycheproof : public ::testing::TestWithParam<int> {};

TEST_P(Wycheproof, DecryptsValidAndRefusesInvalid) {
    const std::string name = "wycheproof/rsa_pkcs1_" + std::to_string(GetParam()) + "_test.json";
    const std::string contents = vctest::dataFile(name);
    JsonValue root;
    ASSERT_TRUE(vctest::parseJson(contents, &root)) << name;

    size_t cases = 0;
    for (const JsonValue& group : root["testGroups"].items) {
        const vc::RsaPrivateKey key = keyOf(group["privateKey"]);
        // Without the CRT members too, so both private paths are covered.
        const vc::RsaPrivateKey plain = withoutCrt(key);
        for (const JsonValue& test : group["tests"].items) {
            ++cases;
            const std::string result = test["result"].text;
            SCOPED_TRACE("tcId " + test["tcId"].text + " (" + result +
                         "): " + test["comment"].text);
            const Bytes cipher = vctest::fromHex(test["ct"].text);
            const Bytes message = vctest::fromHex(test["msg"].text);
            for (const vc::RsaPrivateKey* k : {&key, &plain}) {
                uint8_t out[512];
                uint32_t length = 0;
                const vc::CryptoStatus status = vc::rsaPrivateDecrypt(
                    cipher.data(), static_cast<uint32_t>(cipher.size()), k, out, &length);
                if (result == "valid") {
                    ASSERT_EQ(status, vc::CRYPTO_OK);
                    EXPECT_EQ(vctest::toHex(out, length), vctest::toHex(message));
                } else if (result == "invalid") {
                    EXPECT_EQ(status, vc::CRYPTO_BLOCK_REFUSED);
                } else {
                    ASSERT_EQ(result, "acceptable");
                    if (status == vc::CRYPTO_OK) {
                        EXPECT_EQ(vctest::toHex(out, length), vctest::toHex(message));
                    } else {
                        EXPECT_EQ(status, vc::CRYPTO_BLOCK_REFUSED);
                    }
                }
            }
        }
    }
    EXPECT_EQ(std::to_string(cases), root["numberOfTests"].text);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, Wycheproof, ::testing::Values(2048, 3072, 4096),
                         [](const ::testing::TestParamInfo<int>& size) {
                             return "Bits" + std::to_string(size.param);
                         });

}  // namespace
