// vcecho: the plain TCP backend of the gateway benchmark, on loopback.
//   vcecho PORTFILE [--check] [--early MAX] [--chunk BYTES] [--seed N]
// Echoes every connection until the client ends, then ends its side too.
// --check: each connection's stream must end in the MD5 of what came before
// it (as vcload's integrity mode sends). --early: it does not echo; it sends
// a random number of bytes up to MAX in random chunks, followed by their
// MD5, reads a random part of what the client sends and closes, the rest
// unread. One thread; a connection holds memory only while it moves data.
// Writes its port to PORTFILE; prints its counts on SIGTERM or SIGINT.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "digest.h"

namespace {

using asio::ip::tcp;
constexpr auto tuple = asio::experimental::as_tuple(asio::use_awaitable);

struct Counts {
    unsigned long connections = 0, intact = 0, damaged = 0, early = 0;
};

struct Settings {
    bool check = false;
    std::size_t early = 0;  // 0: echo
    std::size_t chunk = 40000;
    unsigned seed = 1;
};

asio::awaitable<void> echo(tcp::socket socket, const Settings& settings, Counts& counts) {
    vcbench::TrailerCheck trailer;
    uint8_t scratch[65536];
    socket.non_blocking(true);
    for (;;) {
        auto [wec] = co_await socket.async_wait(tcp::socket::wait_read, tuple);
        std::error_code ec = wec;
        std::size_t n = 0;
        if (!ec) {
            n = socket.read_some(asio::buffer(scratch), ec);
        }
        if (ec == asio::error::would_block) {
            continue;
        }
        if (ec) {
            break;
        }
        if (settings.check) {
            trailer.feed(scratch, n);
        }
        // Only what is in flight is held: the rest waits in the kernel.
        std::vector<uint8_t> copy(scratch, scratch + n);
        auto [writeError, k] = co_await asio::async_write(socket, asio::buffer(copy), tuple);
        if (writeError) {
            break;
        }
    }
    if (settings.check) {
        ++(trailer.intact() ? counts.intact : counts.damaged);
    }
    std::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

asio::awaitable<void> early(tcp::socket socket, const Settings& settings, Counts& counts,
                            unsigned index) {
    std::mt19937 random(settings.seed * 104729u + index);
    const std::size_t size = random() % (settings.early + 1);
    std::vector<uint8_t> data(size);
    std::generate(data.begin(), data.end(), [&] { return static_cast<uint8_t>(random()); });
    vcbench::Md5 md5;
    md5.update(data.data(), data.size());
    for (std::size_t at = 0; at < size;) {
        const std::size_t n = std::min<std::size_t>(size - at, 1 + random() % settings.chunk);
        auto [ec, k] = co_await asio::async_write(socket, asio::buffer(data.data() + at, n), tuple);
        if (ec) {
            co_return;
        }
        at += n;
    }
    auto [ec, k] = co_await asio::async_write(socket, asio::buffer(md5.final()), tuple);
    if (ec) {
        co_return;
    }
    std::size_t unread = random() % (settings.early + 1);
    std::vector<uint8_t> buffer(std::min<std::size_t>(65536, unread + 1));
    while (unread > 0) {
        auto [rec, n] = co_await socket.async_read_some(
            asio::buffer(buffer.data(), std::min(buffer.size(), unread)), tuple);
        if (rec) {
            break;
        }
        unread -= n;
    }
    // Closing with unread bytes resets the connection, and a reset throws
    // away what was still waiting to be sent: wait until all of it is out,
    // so that whatever the client misses was lost by the gateways.
    asio::steady_timer timer(socket.get_executor());
    for (int i = 0; i < 5000; ++i) {
        int queued = 0;
        if (ioctl(socket.native_handle(), SIOCOUTQ, &queued) != 0 || queued == 0) {
            break;
        }
        timer.expires_after(std::chrono::milliseconds(1));
        co_await timer.async_wait(tuple);
    }
    ++counts.early;
    std::error_code ignored;
    socket.close(ignored);
}

asio::awaitable<void> serve(tcp::acceptor& acceptor, const Settings& settings, Counts& counts) {
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(tuple);
        if (ec) {
            // Out of descriptors, most likely: the client sees the backlog.
            asio::steady_timer pause(acceptor.get_executor(), std::chrono::milliseconds(10));
            co_await pause.async_wait(tuple);
            continue;
        }
        const unsigned index = static_cast<unsigned>(counts.connections++);
        if (settings.early > 0) {
            asio::co_spawn(acceptor.get_executor(),
                           early(std::move(socket), settings, counts, index), asio::detached);
        } else {
            asio::co_spawn(acceptor.get_executor(), echo(std::move(socket), settings, counts),
                           asio::detached);
        }
    }
}

const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: see the top of vcecho.cpp\n");
        return 2;
    }
    Settings settings;
    for (int i = 2; i < argc; ++i) {
        settings.check = settings.check || std::strcmp(argv[i], "--check") == 0;
    }
    settings.early = std::strtoull(option(argc, argv, "--early", "0"), nullptr, 10);
    settings.chunk = std::max<std::size_t>(
        1, std::strtoull(option(argc, argv, "--chunk", "40000"), nullptr, 10));
    settings.seed = static_cast<unsigned>(std::atoi(option(argc, argv, "--seed", "1")));
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor.listen(asio::socket_base::max_listen_connections);
    const std::string portFile = argv[1];
    std::ofstream(portFile + ".new") << acceptor.local_endpoint().port() << "\n";
    std::rename((portFile + ".new").c_str(), portFile.c_str());
    Counts counts;
    asio::signal_set stop(io, SIGTERM, SIGINT);
    stop.async_wait([&](std::error_code, int) {
        std::printf("connections=%lu intact=%lu damaged=%lu early=%lu\n", counts.connections,
                    counts.intact, counts.damaged, counts.early);
        std::fflush(stdout);
        io.stop();
    });
    asio::co_spawn(io, serve(acceptor, settings, counts), asio::detached);
    io.run();
    return 0;
}
