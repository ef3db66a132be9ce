// vcCreateContext from real credentials: every result code in its order,
// the stored fields of a complete context, the 32000-byte limit of the own
// certificate, and that every failure releases everything, wiped.
#include <gtest/gtest.h>

#include <deque>

#include "api/library_state.h"
#include "api/objects.h"
#include "crypto/random_pool.h"
#include "pki/pki_support.h"
#include "support/tracking_allocator.h"
#include "veilcastnet.h"

namespace {

using vctest::Bytes;

class Credentials : public ::testing::Test {
  protected:
    void SetUp() override {
        uint8_t seed[255];
        for (int i = 0; i < 255; ++i) {
            seed[i] = static_cast<uint8_t>(i);
        }
        vc::vcSeedCallback(seed, sizeof seed);
        vc::libraryInitialized.store(1);
    }
    void TearDown() override { vcTerminate(); }

    // Texts are kept here so the inputs point at live memory.
    const PemInput* pem(const std::string& file) {
        if (file == "-") {
            return nullptr;
        }
        texts_.push_back(file.ends_with("pem") || file.ends_with("key") ? vctest::credential(file)
                                                                        : file);
        inputs_.push_back({texts_.back().data(), uint32_t(texts_.back().size())});
        return &inputs_.back();
    }

    int32_t create(const std::vector<std::string>& f, VcContext** out) {
        const PemInput* certificate = pem(f[0]);
        const PemInput* keyText = pem(f[1]);
        texts_.push_back(f[2] == "right" ? vctest::credential("passphrase.txt") : f[2]);
        PemKeyInput key{};
        if (keyText != nullptr) {
            key = {keyText->text, keyText->length, f[2] == "-" ? nullptr : texts_.back().data(),
                   uint32_t(texts_.back().size())};
        }
        std::vector<PemInput> cas;
        std::istringstream list(f[3] == "-" ? "" : f[3]);
        for (std::string file; std::getline(list, file, ',');) {
            cas.push_back(*pem(file));
        }
        *out = reinterpret_cast<VcContext*>(0x1);
        return vcCreateContext(certificate, keyText ? &key : nullptr, cas.data(),
                               int32_t(cas.size()), nullptr, uint32_t(std::stoul(f[4])),
                               uint32_t(std::stoul(f[5])), out);
    }

    std::deque<std::string> texts_;  // a deque keeps earlier elements in place
    std::deque<PemInput> inputs_;
};

TEST_F(Credentials, ResultTableAndTeardown) {
    for (const auto& row : vctest::readVec("context.vec")) {
        const std::vector<std::string> f(row.fields.begin() + 1, row.fields.end());
        SCOPED_TRACE(f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + f[5]);
        vctest::TrackingAllocator allocator;
        VcContext* handle = nullptr;
        const int32_t result = create(f, &handle);
        ASSERT_EQ(result, std::stoi(f[6]));
        if (result != VC_OK) {
            EXPECT_EQ(handle, nullptr);
            EXPECT_EQ(allocator.liveBlocks(), 0u);
            EXPECT_TRUE(allocator.releasedZeroed(sizeof(vc::Context)));
            if (f[1] != "-" && f[0] != "-" && result > VC_CERTIFICATE_BAD) {
                // The key's decoding buffer was wiped before its release.
                EXPECT_TRUE(allocator.releasedZeroed(vctest::credential(f[1]).size() * 3 / 4));
            }
            continue;
        }
        const auto* context = reinterpret_cast<const vc::Context*>(handle);
        EXPECT_EQ(context->credentials.cipherMask, std::stoul(f[4]) & 3u);
        EXPECT_EQ(context->credentials.isServer, f[5] != "2" ? 1u : 0u);
        EXPECT_EQ(context->credentials.requestClientCertificate, f[5] == "0" ? 1u : 0u);
        EXPECT_EQ(context->credentials.caCount,
                  int32_t(std::count(f[3].begin(), f[3].end(), ',') + 1));
        if (f[0] != "-") {
            EXPECT_EQ(Bytes(context->credentials.ownCertificate,
                            context->credentials.ownCertificate +
                                context->credentials.ownCertificateLength),
                      vctest::certificateDer(f[0]));
        }
        vcDestroyContext(handle);
        EXPECT_EQ(allocator.liveBlocks(), 0u);
    }
}

TEST_F(Credentials, EveryAllocationFailureGives3AndLeavesNothing) {
    const std::vector<std::string> f = {
        "server.pem", "server-enc.key", "right", "ca.pem,other-ca.pem", "3", "0"};
    VcContext* handle = nullptr;
    // Context, certificate DER, key scratch, CA array, CA scratch.
    for (int failing = 1; failing <= 5; ++failing) {
        vctest::TrackingAllocator allocator;
        allocator.failAllocation(failing);
        EXPECT_EQ(create(f, &handle), VC_NO_MEMORY) << failing;
        EXPECT_EQ(allocator.liveBlocks(), 0u) << failing;
    }
    vctest::TrackingAllocator allocator;
    allocator.failAllocation(6);
    ASSERT_EQ(create(f, &handle), VC_OK);
    vcDestroyContext(handle);
}

TEST_F(Credentials, OwnCertificateDerOfAtMost32000Bytes) {
    // server.pem's key in a synthetic certificate padded by its extensions.
    std::map<std::string, std::string> parts = vctest::baseCertificateParts();
    vctest::X509Ptr server = vctest::opensslCertificate(vctest::credential("server.pem"));
    parts["key"] =
        vctest::toHex(vctest::derOf(X509_get_X509_PUBKEY(server.get()), i2d_X509_PUBKEY));
    parts["extensions"] = "";
    const std::size_t bare = vctest::buildCertificate(parts).size() / 2;
    for (std::size_t size : {32000u, 32001u}) {
        // The extensions field adds its tag and four length bytes.
        parts["extensions"] = vctest::wrap("A3", std::string(2 * (size - bare - 4), '0'));
        const Bytes der = vctest::fromHex(vctest::buildCertificate(parts));
        ASSERT_EQ(der.size(), size);
        VcContext* handle = nullptr;
        EXPECT_EQ(create({vctest::pemOf(der, "CERTIFICATE"), "server.key", "-", "ca.pem", "3", "1"},
                         &handle),
                  size == 32000 ? VC_OK : VC_CERTIFICATE_BAD);
        vcDestroyContext(handle);
    }
}

}  // namespace
