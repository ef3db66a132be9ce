// RC4 keystream throughput over 16 KiB buffers, beside OpenSSL's RC4 in the
// same run. The key is set once; each iteration continues the keystream, as
// a connection does record after record.
#include <benchmark/benchmark.h>
#include <openssl/rc4.h>

#include <cstdint>
#include <vector>

#include "crypto/rc4.h"

namespace {

constexpr std::size_t BUFFER_BYTES = 16 * 1024;
constexpr uint8_t KEY[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                             0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

void rc4Veilcastnet(benchmark::State& state) {
    std::vector<uint8_t> buffer(BUFFER_BYTES, 0x5a);
    vc::Rc4State cipher;
    vc::rc4SetKey(KEY, sizeof KEY, &cipher);
    for (auto _ : state) {
        vc::rc4Crypt(buffer.data(), static_cast<uint32_t>(buffer.size()), &cipher);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffer.size()));
}

void rc4OpenSsl(benchmark::State& state) {
    std::vector<uint8_t> buffer(BUFFER_BYTES, 0x5a);
    RC4_KEY cipher;
    RC4_set_key(&cipher, sizeof KEY, KEY);
    for (auto _ : state) {
        RC4(&cipher, buffer.size(), buffer.data(), buffer.data());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffer.size()));
}

}  // namespace

BENCHMARK(rc4Veilcastnet)->Name("rc4/veilcastnet");
BENCHMARK(rc4OpenSsl)->Name("rc4/openssl");
