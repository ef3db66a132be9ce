// vcload: a load generator for gateways. It speaks plain TCP to any port
// (a client-mode gateway of any make, or an echo path), or with --ca the
// channel itself through the asio adapter, to a server-mode gateway.
//   vcload --connect HOST:PORT [--mode MODE] [--connections N] [--concurrency C]
//          [--size BYTES] [--chunk BYTES] [--seed N] [--ca FILE --name NAME]
// Modes:
//   echo       each connection sends SIZE bytes, ends its sending and checks
//              that the echo comes back whole (the default; SIZE 1024)
//   integrity  each connection sends a random size up to SIZE in random
//              chunks up to CHUNK, followed by the MD5 of what it sent (so
//              the backend can check it), and checks the echo by MD5;
//              --early: the backend does not echo but sends its own bytes
//              and closes early, so only those (with their own MD5 at the
//              end) are checked, and a send the backend cut short is fine
//   bulk       like echo, in chunks of CHUNK (for one connection moving
//              many MiB each way; the data is never held whole)
//   hold       opens N connections, checks each answers a small echo, keeps
//              them idle (--hold-seconds S, or until SIGUSR1), then checks
//              every one still answers; --raw: only connects, sends nothing
//   drip       N connections each sending one byte of --drip-hex (then
//              zeros) every --interval-ms, reconnecting when closed, for
//              --seconds S
// Prints one line of key=value: connections/s, latency percentiles, MB/s
// (each way) and errors; the exit status is 1 when any connection failed.
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "digest.h"
#include "veilcastnet_asio.hpp"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
namespace vn = veilcastnet;
using asio::experimental::as_tuple;
constexpr auto tuple = as_tuple(asio::use_awaitable);

constexpr std::size_t BLOCK = 1 << 20;
using vcbench::DIGEST;
using vcbench::Md5;
using vcbench::TrailerCheck;

enum class Mode { Echo, Integrity, Bulk, Hold, Drip };

struct Run {
    Mode mode = Mode::Echo;
    tcp::endpoint target;
    std::size_t size = 1024;
    std::size_t chunk = 65536;
    unsigned total = 1000;
    unsigned concurrency = 64;
    unsigned seed = 1;
    bool early = false;
    bool raw = false;
    double holdSeconds = 0;
    double seconds = 10;
    unsigned intervalMs = 100;
    std::vector<uint8_t> drip;
    unsigned next = 0;
    unsigned errors = 0;
    uint64_t bytes = 0;  // each way
    std::vector<double> latencies;
    vn::Context context;  // empty: plain TCP
    std::string name;
    std::vector<uint8_t> block;  // the bytes every stream is cut from
};

// The bytes a connection sends: a random size (integrity) or SIZE, cut from
// the block at an offset of its own, in chunks of random or fixed size.
struct Plan {
    std::size_t size;
    std::size_t offset;
    std::mt19937 random;
};

Plan planFor(const Run& run, unsigned index) {
    Plan plan{run.size, 0, std::mt19937(run.seed * 7919u + index)};
    if (run.mode == Mode::Integrity) {
        plan.size = plan.random() % (run.size + 1);
    }
    plan.offset = plan.random() % BLOCK;
    return plan;
}

// Sends the plan (and its MD5 in integrity mode) and ends the sending side
// while reading the answer to its end: both at once, since a large echo
// comes back before the request is out.
template <typename Stream>
asio::awaitable<bool> exchange(Stream& stream, tcp::socket& socket, Run& run, Plan plan) {
    using namespace asio::experimental::awaitable_operators;
    Md5 sent;  // what the trailer covers
    Md5 wire;  // every byte sent, the trailer too: what the echo must match
    bool sendOk = true;
    auto send = [&]() -> asio::awaitable<void> {
        std::size_t at = 0;
        while (at < plan.size) {
            std::size_t n = run.mode == Mode::Integrity ? 1 + plan.random() % run.chunk : run.chunk;
            n = std::min({n, plan.size - at, BLOCK - (plan.offset + at) % BLOCK});
            const uint8_t* p = run.block.data() + (plan.offset + at) % BLOCK;
            sent.update(p, n);
            wire.update(p, n);
            auto [ec, k] = co_await asio::async_write(stream, asio::buffer(p, n), tuple);
            if (ec) {
                sendOk = false;
                co_return;
            }
            at += n;
        }
        if (run.mode == Mode::Integrity) {
            wire.update(sent.final().data(), DIGEST);
            auto [ec, k] = co_await asio::async_write(stream, asio::buffer(sent.final()), tuple);
            sendOk = !ec;
        }
        std::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
    };
    Md5 received;
    TrailerCheck trailer;
    uint64_t got = 0;
    std::error_code readError;
    auto receive = [&]() -> asio::awaitable<void> {
        std::vector<uint8_t> buffer(std::min<std::size_t>(65536, plan.size + DIGEST + 1));
        for (;;) {
            auto [ec, n] = co_await stream.async_read_some(asio::buffer(buffer), tuple);
            received.update(buffer.data(), n);
            trailer.feed(buffer.data(), n);
            got += n;
            if (ec) {
                readError = ec;
                co_return;
            }
        }
    };
    co_await (send() && receive());
    if (run.early) {
        // The backend's own bytes, ended cleanly; our send may be cut short.
        run.bytes += got;
        co_return readError == asio::error::eof&& trailer.intact();
    }
    const uint64_t expected = plan.size + (run.mode == Mode::Integrity ? DIGEST : 0);
    run.bytes += plan.size;
    co_return sendOk&& readError == asio::error::eof&& got == expected&& received.final() ==
            wire.final() &&
        (run.mode != Mode::Integrity || trailer.intact());
}

// A connection to the target, with the channel's handshake when --ca was
// given; body(stream, socket) runs on it. False when any step fails.
struct Link {
    tcp::socket socket;
    std::unique_ptr<vn::asio::stream<tcp::socket&>> secure;
    explicit Link(asio::any_io_executor executor) : socket(executor) {}
};

asio::awaitable<std::unique_ptr<Link>> open(Run& run) {
    auto link = std::make_unique<Link>(co_await asio::this_coro::executor);
    auto [ec] = co_await link->socket.async_connect(run.target, tuple);
    if (ec) {
        co_return nullptr;
    }
    link->socket.set_option(tcp::no_delay(true), ec);
    if (run.context && !run.raw) {
        link->secure = std::make_unique<vn::asio::stream<tcp::socket&>>(link->socket, run.context,
                                                                        run.name.c_str());
        auto [hec] = co_await link->secure->async_handshake(tuple);
        if (hec) {
            co_return nullptr;
        }
    }
    co_return link;
}

// 16 bytes out, the same 16 back, the connection left open.
template <typename Stream>
asio::awaitable<bool> ping(Stream& stream, unsigned index) {
    uint8_t out[16], back[16];
    for (std::size_t i = 0; i < sizeof(out); ++i) {
        out[i] = static_cast<uint8_t>(index * 31 + i);
    }
    auto [ec, n] = co_await asio::async_write(stream, asio::buffer(out), tuple);
    if (ec) {
        co_return false;
    }
    auto [rec, m] = co_await asio::async_read(stream, asio::buffer(back), tuple);
    co_return !rec && std::memcmp(out, back, sizeof(out)) == 0;
}

asio::awaitable<bool> ping(Link& link, unsigned index) {
    if (link.secure) {
        co_return co_await ping(*link.secure, index);
    }
    co_return co_await ping(link.socket, index);
}

asio::awaitable<void> exchanges(Run& run) {
    while (run.next < run.total) {
        const unsigned index = run.next++;
        const Clock::time_point start = Clock::now();
        bool ok = false;
        if (auto link = co_await open(run)) {
            if (link->secure) {
                ok = co_await exchange(*link->secure, link->socket, run, planFor(run, index));
            } else {
                ok = co_await exchange(link->socket, link->socket, run, planFor(run, index));
            }
        }
        if (ok) {
            run.latencies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        } else {
            ++run.errors;
        }
    }
}

asio::awaitable<void> holdOpen(Run& run, std::vector<std::unique_ptr<Link>>& held) {
    while (run.next < run.total) {
        const unsigned index = run.next++;
        auto link = co_await open(run);
        if (link && (run.raw || co_await ping(*link, index))) {
            held.push_back(std::move(link));
        } else {
            ++run.errors;
        }
    }
}

asio::awaitable<void> holdCheck(Run& run, std::vector<std::unique_ptr<Link>>& held,
                                unsigned& answered) {
    while (run.next < held.size()) {
        const unsigned index = run.next++;
        if (co_await ping(*held[index], index)) {
            ++answered;
        }
    }
}

asio::awaitable<void> hold(Run& run) {
    using namespace asio::experimental::awaitable_operators;
    auto executor = co_await asio::this_coro::executor;
    std::vector<std::unique_ptr<Link>> held;
    held.reserve(run.total);
    // Opening, checking and the wait in between, each phase its own workers.
    auto phase = [&](auto make) -> asio::awaitable<void> {
        run.next = 0;
        unsigned running = run.concurrency;
        asio::steady_timer done(executor, asio::steady_timer::time_point::max());
        for (unsigned i = 0; i < run.concurrency; ++i) {
            asio::co_spawn(executor, make(), [&](std::exception_ptr) {
                if (--running == 0) {
                    done.cancel();
                }
            });
        }
        co_await done.async_wait(tuple);
    };
    const Clock::time_point start = Clock::now();
    co_await phase([&] { return holdOpen(run, held); });
    const double openSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("held=%zu refused=%u open-seconds=%.2f\n", held.size(), run.errors, openSeconds);
    std::fflush(stdout);
    asio::signal_set usr1(executor, SIGUSR1);
    asio::steady_timer limit(executor);
    if (run.holdSeconds > 0) {
        limit.expires_after(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(run.holdSeconds)));
    } else {
        limit.expires_at(Clock::time_point::max());
    }
    co_await (usr1.async_wait(tuple) || limit.async_wait(tuple));
    unsigned answered = 0;
    if (!run.raw) {
        co_await phase([&] { return holdCheck(run, held, answered); });
    } else {
        answered = static_cast<unsigned>(held.size());
    }
    std::printf("held=%zu answered=%u refused=%u\n", held.size(), answered, run.errors);
    run.errors += static_cast<unsigned>(held.size()) - answered;
}

asio::awaitable<void> dripper(Run& run, Clock::time_point end, uint64_t& drips,
                              unsigned& reconnects) {
    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor);
    while (Clock::now() < end) {
        tcp::socket socket(executor);
        auto [ec] = co_await socket.async_connect(run.target, tuple);
        for (std::size_t at = 0; !ec && Clock::now() < end; ++at) {
            const uint8_t byte = at < run.drip.size() ? run.drip[at] : 0;
            auto [wec, n] = co_await asio::async_write(socket, asio::buffer(&byte, 1), tuple);
            ec = wec;
            drips += ec ? 0 : 1;
            timer.expires_after(std::chrono::milliseconds(run.intervalMs));
            co_await timer.async_wait(tuple);
        }
        ++reconnects;
        timer.expires_after(std::chrono::milliseconds(run.intervalMs));
        co_await timer.async_wait(tuple);
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

bool flag(int argc, char** argv, const char* name) {
    return std::any_of(argv + 1, argv + argc,
                       [&](const char* a) { return std::strcmp(a, name) == 0; });
}

bool clientContext(Run& run, const char* ca, const char* name) {
    std::ifstream in(ca);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::string seed(512, '\0');
    std::ifstream("/dev/urandom", std::ios::binary).read(seed.data(), 512);
    // A private file in the temporary directory ($TMPDIR or the system's).
    std::string seedPath = (std::filesystem::temp_directory_path() / "vcload-seed-XXXXXX").string();
    const int fd = mkstemp(seedPath.data());
    const bool written = fd >= 0 && write(fd, seed.data(), seed.size()) == 512;
    if (fd >= 0) {
        close(fd);
    }
    const bool seeded = written && vn::initializeFromSeedFile(seedPath.c_str()).ok();
    std::remove(seedPath.c_str());
    const std::string_view cas[] = {text};
    vn::ContextSettings settings;
    settings.caCertificates = cas;
    run.context = vn::Context::create(settings).value;
    run.name = name;
    return seeded && run.context;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string target = option(argc, argv, "--connect", "");
    const std::string mode = option(argc, argv, "--mode", "echo");
    const std::size_t colon = target.rfind(':');
    Run run;
    const std::pair<const char*, Mode> modes[] = {{"echo", Mode::Echo},
                                                  {"integrity", Mode::Integrity},
                                                  {"bulk", Mode::Bulk},
                                                  {"hold", Mode::Hold},
                                                  {"drip", Mode::Drip}};
    const auto known = std::find_if(std::begin(modes), std::end(modes),
                                    [&](const auto& m) { return mode == m.first; });
    if (colon == std::string::npos || known == std::end(modes)) {
        std::fprintf(stderr, "usage: see the top of vcload.cpp\n");
        return 2;
    }
    run.mode = known->second;
    run.target = {asio::ip::make_address(target.substr(0, colon)),
                  static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1))};
    run.total = static_cast<unsigned>(std::atoi(option(argc, argv, "--connections", "1000")));
    run.size = std::strtoull(option(argc, argv, "--size", "1024"), nullptr, 10);
    run.chunk = std::strtoull(
        option(argc, argv, "--chunk", run.mode == Mode::Integrity ? "40000" : "65536"), nullptr,
        10);
    if (run.mode == Mode::Echo) {
        run.chunk = std::max<std::size_t>(run.size, 1);
    }
    run.concurrency = static_cast<unsigned>(std::atoi(option(argc, argv, "--concurrency", "64")));
    run.seed = static_cast<unsigned>(std::atoi(option(argc, argv, "--seed", "1")));
    run.early = flag(argc, argv, "--early");
    run.raw = flag(argc, argv, "--raw");
    run.holdSeconds = std::atof(option(argc, argv, "--hold-seconds", "0"));
    run.seconds = std::atof(option(argc, argv, "--seconds", "10"));
    run.intervalMs = static_cast<unsigned>(std::atoi(option(argc, argv, "--interval-ms", "100")));
    const std::string hex = option(argc, argv, "--drip-hex", "");
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        run.drip.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    if (run.chunk == 0 || run.concurrency == 0) {
        std::fprintf(stderr, "vcload: --chunk and --concurrency must be positive\n");
        return 2;
    }
    run.block.resize(BLOCK);
    std::mt19937 random(run.seed);
    std::generate(run.block.begin(), run.block.end(),
                  [&] { return static_cast<uint8_t>(random()); });
    if (const char* ca = option(argc, argv, "--ca", nullptr)) {
        if (!clientContext(run, ca, option(argc, argv, "--name", "server.example"))) {
            std::fprintf(stderr, "vcload: cannot make a client context from %s\n", ca);
            return 1;
        }
    }
    asio::io_context io(1);
    const Clock::time_point start = Clock::now();
    if (run.mode == Mode::Hold) {
        asio::co_spawn(io, hold(run), asio::detached);
        io.run();
        return run.errors == 0 ? 0 : 1;
    }
    if (run.mode == Mode::Drip) {
        uint64_t drips = 0;
        unsigned reconnects = 0;
        const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(run.seconds));
        for (unsigned i = 0; i < run.total; ++i) {
            asio::co_spawn(io, dripper(run, end, drips, reconnects), asio::detached);
        }
        io.run();
        std::printf("drippers=%u drips=%llu reconnects=%u\n", run.total,
                    static_cast<unsigned long long>(drips), reconnects - run.total);
        return 0;
    }
    for (unsigned i = 0; i < run.concurrency; ++i) {
        asio::co_spawn(io, exchanges(run), asio::detached);
    }
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
        "p99-ms=%.2f max-ms=%.2f MB/s=%.2f\n",
        run.latencies.size(), run.errors, seconds,
        static_cast<double>(run.latencies.size()) / seconds, percentile(0.5), percentile(0.9),
        percentile(0.99), percentile(1.0), static_cast<double>(run.bytes) / seconds / 1e6);
    return run.errors == 0 ? 0 : 1;
}
