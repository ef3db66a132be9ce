// Private-key texts: every prefix and random changes of the key texts; and,
// where OpenSSL is linked to encrypt test inputs and read the keys, pass
// phrases, header forms, DER edits and the padding of the decrypted data,
// and the members against OpenSSL's reading of every key.
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/evp.h>
#endif

// g++ 12 warns of an uninitialised std::function inside <regex>'s own
// automaton at -O1 (a false positive in the library, not in this file).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "pki/pem.h"
#include "pki/pki_support.h"
#include "pki/private_key.h"
#if defined(VC_TEST_OPENSSL)
#include "support/openssl_bignum.h"
#endif

namespace {

using namespace vctest;

// privateKeyLoad with the committed pass phrase ("right"), another one
// ("wrong"), one of length 0 ("empty") or none ("-").
vc::CryptoStatus load(const std::string& text, const std::string& pass,
                      vc::RsaPrivateKey* key = nullptr) {
    const std::string phrase = pass == "right"   ? credential("passphrase.txt")
                               : pass == "wrong" ? "not the phrase"
                                                 : "";
    vc::RsaPrivateKey unused;
    return loadKey(text, pass == "-" ? nullptr : &phrase, key != nullptr ? key : &unused);
}

// The DER of an unencrypted key file: its base64 body.
Bytes plainDer(const std::string& file) {
    Bytes der;
    EXPECT_EQ(pemDecode("K", credential(file), &der), vc::CRYPTO_OK);
    return der;
}

TEST(PrivateKey, TruncatedAndMutatedTextsEndInAStatus) {
    std::mt19937 rng(11);
    for (const char* file : {"server-enc.key", "client.key"}) {
        const std::string text = credential(file);
        for (std::size_t length = 0; length < text.size(); length += 3) {
            ASSERT_NE(load(text.substr(0, length), "right"), vc::CRYPTO_OK);
        }
        for (int i = 0; i < 1000; ++i) {
            std::string mutated = text;
            mutated[rng() % mutated.size()] = static_cast<char>(rng());
            load(mutated, "right");
        }
    }
    const Bytes der = plainDer("client.key");
    for (std::size_t length = 0; length < der.size(); ++length) {
        vc::RsaPrivateKey key;
        ASSERT_NE(vc::rsaPrivateKeyFromDer(der.data(), uint32_t(length), &key), vc::CRYPTO_OK);
    }
}

#if defined(VC_TEST_OPENSSL)

// "FROM|TO": the first match of the regular expression FROM (every match
// after a leading '*') replaced by the format TO.
std::string edit(const std::string& text, const std::string& change) {
    const bool every = change[0] == '*';
    const std::size_t bar = change.find('|');
    const std::regex from(change.substr(every ? 1 : 0, bar - (every ? 1 : 0)));
    EXPECT_TRUE(std::regex_search(text, from)) << change;
    return std::regex_replace(
        text, from, change.substr(bar + 1),
        every ? std::regex_constants::format_default : std::regex_constants::format_first_only);
}

// Encrypted the way the openssl tool does (EVP_BytesToKey with MD5, one round).
std::string encryptedKeyText(const Bytes& data, const std::string& phrase) {
    const unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 0xAB};
    unsigned char key[24];
    EVP_BytesToKey(EVP_des_ede3_cbc(), EVP_md5(), iv,
                   reinterpret_cast<const unsigned char*>(phrase.data()), int(phrase.size()), 1,
                   key, nullptr);
    const Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> ctx(EVP_CIPHER_CTX_new());
    EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(data.size());
    int length = 0;
    EVP_EncryptUpdate(ctx.get(), out.data(), &length, data.data(), int(data.size()));
    const std::string pem = pemOf(out, "RSA PRIVATE KEY");
    const std::size_t body = pem.find('\n') + 1;
    return pem.substr(0, body) + "Proc-Type: 4,ENCRYPTED\nDEK-Info: DES-EDE3-CBC," + toHex(iv, 8) +
           "\n\n" + pem.substr(body);
}

TEST(PrivateKey, TextAndDerTable) {
    const std::string serverDerHex = toHex(plainDer("server.key"));
    for (const auto& row : readVec("private_key.vec")) {
        SCOPED_TRACE(row.fields[0] + " " + row.fields[1] + " " + row.value);
        const std::string kind = row.fields[0];
        if (kind == "key" || kind == "text") {
            std::string text = kind == "text" ? expand(row.value) : credential(row.fields[1]);
            if (kind == "key" && !row.value.empty()) {
                text = edit(text, expand(row.value));
            }
            const std::string& pass = row.fields[kind == "key" ? 2 : 1];
            EXPECT_EQ(load(text, pass), std::stoi(row.fields[kind == "key" ? 3 : 2]));
        } else if (kind == "der") {
            std::string hex =
                row.value[0] == '=' ? row.value.substr(1) : edit(serverDerHex, row.value);
            if (hex.rfind("3082", 0) == 0) {
                char length[5];
                std::snprintf(length, sizeof length, "%04zX", hex.size() / 2 - 4);
                hex.replace(4, 4, length);
            }
            const Bytes der = fromHex(hex);
            vc::RsaPrivateKey key;
            EXPECT_EQ(vc::rsaPrivateKeyFromDer(der.data(), uint32_t(der.size()), &key),
                      std::stoi(row.fields[1]));
        } else if (kind == "pad") {
            std::string data = expand(row.value);
            if (data.rfind("der", 0) == 0) {
                data = serverDerHex + data.substr(3);
            }
            const Bytes plain = fromHex(data);
            ASSERT_EQ(plain.size() % 8, 0u);
            EXPECT_EQ(load(encryptedKeyText(plain, credential("passphrase.txt")), "right"),
                      std::stoi(row.fields[1]));
        }
    }
}

TEST(PrivateKey, MembersAgreeWithOpenSsl) {
    const std::string phrase = credential("passphrase.txt");
    for (const char* file :
         {"server.key", "server-enc.key", "client-enc.key", "ca.key", "rsa512.key", "ca4096.key"}) {
        SCOPED_TRACE(file);
        const std::string text = credential(file);
        vc::RsaPrivateKey ours;
        ASSERT_EQ(load(text, "right", &ours), vc::CRYPTO_OK);
        const EvpKey theirs = opensslKey(text, phrase.c_str());
        ASSERT_TRUE(theirs);
        for (std::size_t i = 0; i < std::size(KEY_MEMBERS); ++i) {
            EXPECT_TRUE(
                sameValue(ours.*KEY_MEMBERS[i], parameterOf(theirs.get(), KEY_PARAMETERS[i])))
                << KEY_PARAMETERS[i];
        }
    }
}

#endif  // VC_TEST_OPENSSL

}  // namespace
