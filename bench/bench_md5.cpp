// MD5 throughput over 16 KiB buffers, beside OpenSSL's MD5 in the same run
// so that the ratio between the two is what gets read, not the raw figure.
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <cstdint>
#include <vector>

#include "crypto/md5.h"

namespace {

constexpr std::size_t BUFFER_BYTES = 16 * 1024;

std::vector<uint8_t> makeBuffer() {
    std::vector<uint8_t> buffer(BUFFER_BYTES);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return buffer;
}

void md5Veilcastnet(benchmark::State& state) {
    const std::vector<uint8_t> buffer = makeBuffer();
    uint8_t digest[16];
    for (auto _ : state) {
        vc::Md5Context context;
        vc::md5Init(&context);
        vc::md5Update(&context, buffer.data(), static_cast<uint32_t>(buffer.size()));
        vc::md5Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffer.size()));
}

void md5OpenSsl(benchmark::State& state) {
    const std::vector<uint8_t> buffer = makeBuffer();
    uint8_t digest[16];
    for (auto _ : state) {
        MD5_CTX context;
        MD5_Init(&context);
        MD5_Update(&context, buffer.data(), buffer.size());
        MD5_Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffer.size()));
}

}  // namespace

BENCHMARK(md5Veilcastnet)->Name("md5/veilcastnet");
BENCHMARK(md5OpenSsl)->Name("md5/openssl");
