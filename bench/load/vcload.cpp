// vcload: a load generator for gateways. Each connection sends a request of
// the chosen size, ends its sending, and checks that the echo comes back
// whole; a number of them run at once. In plain TCP it drives a client-mode
// gateway (or any TCP echo path); with --ca it speaks the channel itself
// through the asio adapter, to a server-mode gateway.
//   vcload --connect HOST:PORT [--connections N] [--concurrency C]
//          [--size BYTES] [--ca FILE --name NAME]
// Prints connections/s, latency percentiles, bytes/s and errors.
#include <unistd.h>
#include <algorithm>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "veilcastnet_asio.hpp"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
namespace vn = veilcastnet;

struct Run {
    tcp::endpoint target;
    std::size_t size = 1024;
    unsigned total = 1000;
    unsigned next = 0;
    unsigned errors = 0;
    uint64_t bytes = 0;
    std::vector<double> latencies;
    vn::Context context;  // empty: plain TCP
    std::string name;
    std::vector<uint8_t> request;
};

// Sends the request and ends the sending side while reading the echo to its
// end: both at once, since a large echo comes back before the request is out.
template <typename Stream>
asio::awaitable<bool> exchange(Stream& stream, tcp::socket& socket, const Run& run) {
    using namespace asio::experimental::awaitable_operators;
    auto send = [&]() -> asio::awaitable<void> {
        co_await asio::async_write(stream, asio::buffer(run.request), asio::use_awaitable);
        socket.shutdown(tcp::socket::shutdown_send);
    };
    std::vector<uint8_t> back(run.request.size() + 1);
    std::size_t got = 0;
    auto receive = [&]() -> asio::awaitable<void> {
        for (;;) {
            auto [ec, n] =
                co_await stream.async_read_some(asio::buffer(back.data() + got, back.size() - got),
                                                asio::experimental::as_tuple(asio::use_awaitable));
            got += n;
            if (ec || got == back.size()) {
                co_return;
            }
        }
    };
    co_await (send() && receive());
    co_return got == run.request.size() && std::memcmp(back.data(), run.request.data(), got) == 0;
}

asio::awaitable<void> worker(Run& run) {
    auto executor = co_await asio::this_coro::executor;
    while (run.next < run.total) {
        ++run.next;
        const Clock::time_point start = Clock::now();
        bool ok = false;
        try {
            tcp::socket socket(executor);
            co_await socket.async_connect(run.target, asio::use_awaitable);
            socket.set_option(tcp::no_delay(true));
            if (run.context) {
                vn::asio::stream<tcp::socket&> secure(socket, run.context, run.name.c_str());
                co_await secure.async_handshake(asio::use_awaitable);
                ok = co_await exchange(secure, socket, run);
            } else {
                ok = co_await exchange(socket, socket, run);
            }
        } catch (const std::exception&) {
            ok = false;
        }
        if (ok) {
            run.bytes += 2 * run.size;
            run.latencies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        } else {
            ++run.errors;
        }
    }
}

const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string target = option(argc, argv, "--connect", "");
    const std::size_t colon = target.rfind(':');
    if (colon == std::string::npos) {
        std::fprintf(stderr, "usage: see the top of vcload.cpp\n");
        return 2;
    }
    Run run;
    run.target = {asio::ip::make_address(target.substr(0, colon)),
                  static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1))};
    run.total = static_cast<unsigned>(std::atoi(option(argc, argv, "--connections", "1000")));
    run.size = std::strtoul(option(argc, argv, "--size", "1024"), nullptr, 10);
    const unsigned concurrency =
        static_cast<unsigned>(std::atoi(option(argc, argv, "--concurrency", "64")));
    run.request.resize(run.size);
    for (std::size_t i = 0; i < run.size; ++i) {
        run.request[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    if (const char* ca = option(argc, argv, "--ca", nullptr)) {
        std::ifstream in(ca);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        std::string seed(512, '\0');
        std::ifstream("/dev/urandom", std::ios::binary).read(seed.data(), 512);
        const std::string seedPath = "/tmp/vcload-seed-" + std::to_string(getpid());
        std::ofstream(seedPath, std::ios::binary) << seed;
        const bool seeded = vn::initializeFromSeedFile(seedPath.c_str()).ok();
        std::remove(seedPath.c_str());
        const std::string_view cas[] = {text};
        vn::ContextSettings settings;
        settings.caCertificates = cas;
        run.context = vn::Context::create(settings).value;
        run.name = option(argc, argv, "--name", "server.example");
        if (!seeded || !run.context) {
            std::fprintf(stderr, "vcload: cannot make a client context from %s\n", ca);
            return 1;
        }
    }
    asio::io_context io(1);
    for (unsigned i = 0; i < concurrency; ++i) {
        asio::co_spawn(io, worker(run), asio::detached);
    }
    const Clock::time_point start = Clock::now();
    io.run();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(run.latencies.begin(), run.latencies.end());
    auto percentile = [&](double p) {
        return run.latencies.empty()
                   ? 0.0
                   : 1000 * run.latencies[std::min(
                                run.latencies.size() - 1,
                                static_cast<std::size_t>(
                                    p * static_cast<double>(run.latencies.size())))];
    };
    std::printf(
        "connections=%zu errors=%u seconds=%.2f connections/s=%.1f p50-ms=%.2f p90-ms=%.2f "
        "p99-ms=%.2f MB/s=%.2f\n",
        run.latencies.size(), run.errors, seconds,
        static_cast<double>(run.latencies.size()) / seconds, percentile(0.5), percentile(0.9),
        percentile(0.99), static_cast<double>(run.bytes) / seconds / 1e6);
    return run.errors == 0 ? 0 : 1;
}
