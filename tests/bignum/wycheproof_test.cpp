// The imported RSAES-PKCS1-v1_5 decryption vectors (data/wycheproof, with
// their licence) through rsaPrivateDecrypt, with and without the CRT
// members: a "valid" case must decrypt to exactly its message, an "invalid"
// one must be refused, and every refusal must carry the one status a
// refused block has, whatever was wrong with it. The files list no
// "acceptable" case; one would fail here until it is looked at.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "bignum/rsa.h"
#include "support/test_vectors.h"

namespace {

using vctest::Bytes;

// The imported files hold one "name": value per line, each test's "result"
// last and each group's key before its tests, so the latest value of every
// name read so far describes the case at hand.
TEST(Wycheproof, DecryptsValidAndRefusesInvalid) {
    for (const char* bits : {"2048", "3072", "4096"}) {
        std::istringstream file(
            vctest::dataFile(std::string("wycheproof/rsa_pkcs1_") + bits + "_test.json"));
        std::map<std::string, std::string> latest;
        int cases = 0;
        for (std::string line; std::getline(file, line);) {
            const std::size_t open = line.find('"');
            const std::size_t colon = line.find("\": ");
            if (open == std::string::npos || colon == std::string::npos) {
                continue;
            }
            std::string value = line.substr(colon + 3);
            value.erase(value.find_last_not_of(",") + 1);
            const std::string name = line.substr(open + 1, colon - open - 1);
            latest[name] = value.front() == '"' ? value.substr(1, value.size() - 2) : value;
            if (name != "result") {
                continue;
            }
            ++cases;
            SCOPED_TRACE(std::string(bits) + " tcId " + latest["tcId"] + ": " + latest["comment"]);
            vc::RsaPrivateKey key{};
            const char* names[] = {"modulus", "publicExponent", "privateExponent", "prime1",
                                   "prime2",  "exponent1",      "exponent2",       "coefficient"};
            vc::BigNum* members[] = {&key.n, &key.e,  &key.d,  &key.p,
                                     &key.q, &key.dP, &key.dQ, &key.qInv};
            for (int i = 0; i < 8; ++i) {
                const Bytes bytes = vctest::fromHex(latest[names[i]]);
                ASSERT_FALSE(bytes.empty()) << names[i];
                vc::bigNumFromBytes(bytes.data(), uint32_t(bytes.size()), members[i]);
            }
            const Bytes cipher = vctest::fromHex(latest["ct"]);
            const std::string& result = latest["result"];
            ASSERT_TRUE(result == "valid" || result == "invalid") << result;
            for (int pass = 0; pass < 2; ++pass) {
                uint8_t out[512];
                uint32_t length = 0;
                const vc::CryptoStatus status = vc::rsaPrivateDecrypt(
                    cipher.data(), uint32_t(cipher.size()), &key, out, &length);
                EXPECT_EQ(status, result == "valid" ? vc::CRYPTO_OK : vc::CRYPTO_BLOCK_REFUSED);
                EXPECT_EQ(vctest::toHex(out, status == vc::CRYPTO_OK ? length : 0),
                          result == "valid" ? latest["msg"] : "");
                key.dP.length = 0;  // the second pass goes through d alone
            }
        }
        EXPECT_EQ(std::to_string(cases), latest["numberOfTests"]) << bits;
    }
}

}  // namespace
