// MD5 throughput over 16 KiB buffers, beside OpenSSL's MD5 in the same run
// so that the ratio between the two is what gets read, not the raw figure.
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include "crypto/md5.h"
#include "throughput.h"

namespace {

void md5Veilcastnet(benchmark::State& state) {
    vcbench::runOverBuffer(state, [](const uint8_t* data, std::size_t length) {
        vc::Md5Context context;
        uint8_t digest[16];
        vc::md5Init(&context);
        vc::md5Update(&context, data, static_cast<uint32_t>(length));
        vc::md5Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    });
}

void md5OpenSsl(benchmark::State& state) {
    vcbench::runOverBuffer(state, [](const uint8_t* data, std::size_t length) {
        MD5_CTX context;
        uint8_t digest[16];
        MD5_Init(&context);
        MD5_Update(&context, data, length);
        MD5_Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    });
}

}  // namespace

BENCHMARK(md5Veilcastnet)->Name("md5/veilcastnet");
BENCHMARK(md5OpenSsl)->Name("md5/openssl");
