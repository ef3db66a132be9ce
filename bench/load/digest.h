// MD5 over what a load connection sends or receives, and the check of a
// stream that carries its own MD5 in its last 16 bytes; shared by vcload
// and its echo backend vcecho.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace vcbench {

constexpr std::size_t DIGEST = 16;

struct Md5 {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    Md5() { EVP_DigestInit_ex(context, EVP_md5(), nullptr); }
    ~Md5() { EVP_MD_CTX_free(context); }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;
    void update(const uint8_t* data, std::size_t size) { EVP_DigestUpdate(context, data, size); }
    // Ends the hashing; later calls answer the same digest.
    const std::array<uint8_t, DIGEST>& final() {
        if (!done) {
            EVP_DigestFinal_ex(context, digest.data(), nullptr);
            done = true;
        }
        return digest;
    }
    std::array<uint8_t, DIGEST> digest{};
    bool done = false;
};

// A received stream whose last 16 bytes must be the MD5 of what came
// before them; only those 16 are kept back from the hash at any time.
struct TrailerCheck {
    Md5 md5;
    uint8_t tail[DIGEST] = {};
    std::size_t held = 0;
    uint64_t total = 0;

    void feed(const uint8_t* data, std::size_t n) {
        total += n;
        if (n >= DIGEST) {
            md5.update(tail, held);
            md5.update(data, n - DIGEST);
            std::memcpy(tail, data + n - DIGEST, DIGEST);
            held = DIGEST;
            return;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (held == DIGEST) {
                md5.update(tail, 1);
                std::memmove(tail, tail + 1, DIGEST - 1);
                --held;
            }
            tail[held++] = data[i];
        }
    }
    bool intact() { return held == DIGEST && md5.final() == std::to_array(tail); }
};

}  // namespace vcbench
