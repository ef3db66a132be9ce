// The shared shape of the symmetric-primitive benchmarks: one 16 KiB buffer
// run through a primitive per iteration and bytes per second reported, so
// that ours and OpenSSL's differ only in the call they make.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcbench {

constexpr std::size_t BUFFER_BYTES = 16 * 1024;

// step(data, length) runs once per iteration over the same buffer, which
// keeps what the previous iteration wrote, as a connection's records follow
// one another through the same cipher state.
template <typename Step>
void runOverBuffer(benchmark::State& state, Step step) {
    std::vector<uint8_t> buffer(BUFFER_BYTES);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    for (auto _ : state) {
        step(buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buffer.size()));
}

}  // namespace vcbench
