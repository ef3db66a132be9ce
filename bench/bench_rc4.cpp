// RC4 keystream throughput over 16 KiB buffers, beside OpenSSL's RC4 in the
// same run. The key is set once; each iteration continues the keystream, as
// a connection does record after record.
#include <benchmark/benchmark.h>
#include <openssl/rc4.h>

#include "crypto/rc4.h"
#include "throughput.h"

namespace {

constexpr uint8_t KEY[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                             0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

void rc4Veilcastnet(benchmark::State& state) {
    vc::Rc4State* cipher = vcbench::placedState<vc::Rc4State>();
    vc::rc4SetKey(KEY, sizeof KEY, cipher);
    vcbench::runOverBuffer(state, [cipher](uint8_t* data, std::size_t length) {
        vc::rc4Crypt(data, static_cast<uint32_t>(length), cipher);
    });
}

void rc4OpenSsl(benchmark::State& state) {
    RC4_KEY* cipher = vcbench::placedState<RC4_KEY>();
    RC4_set_key(cipher, sizeof KEY, KEY);
    vcbench::runOverBuffer(
        state, [cipher](uint8_t* data, std::size_t length) { RC4(cipher, length, data, data); });
}

}  // namespace

BENCHMARK(rc4Veilcastnet)->Name("rc4/veilcastnet");
BENCHMARK(rc4OpenSsl)->Name("rc4/openssl");
