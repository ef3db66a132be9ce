// The shared shape of the symmetric-primitive benchmarks: one 16 KiB buffer
// run through a primitive per iteration and bytes per second reported, so
// that ours and OpenSSL's differ only in the call they make.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace vcbench {

constexpr std::size_t BUFFER_BYTES = 16 * 1024;
constexpr std::size_t STATE_BYTES = 4096;

// Where a primitive's data and state lie decides how often its loads alias
// its stores modulo 4 KiB, and with a heap buffer and a stack state that
// changes from process to process: the RC4 figures of both sides were
// bimodal per run. So both live at fixed places in one page-aligned block,
// the same for our side and OpenSSL's, and every run measures one layout.
struct Arena {
    alignas(4096) uint8_t buffer[BUFFER_BYTES];
    alignas(4096) uint8_t state[STATE_BYTES];
};

inline Arena& arena() {
    static Arena block;
    return block;
}

// The primitive's state, constructed in the arena's state slot. One
// benchmark runs at a time, so the slot is reused by the next one.
template <typename State>
State* placedState() {
    static_assert(sizeof(State) <= STATE_BYTES && alignof(State) <= 4096);
    return new (arena().state) State{};
}

// step(data, length) runs once per iteration over the same buffer, which
// keeps what the previous iteration wrote, as a connection's records follow
// one another through the same cipher state.
template <typename Step>
void runOverBuffer(benchmark::State& state, Step step) {
    uint8_t* const buffer = arena().buffer;
    for (std::size_t i = 0; i < BUFFER_BYTES; ++i) {
        buffer[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    for (auto _ : state) {
        step(buffer, BUFFER_BYTES);
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(BUFFER_BYTES));
}

}  // namespace vcbench
