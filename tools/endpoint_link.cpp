// vctool's endpoints on one asio thread. The server keeps accepting while
// clients run their handshakes, each under the time limit, and relays with
// the first to finish; the client bounds its connect and handshake. The
// relay runs both directions at once, writes out every byte the library
// authenticated before it reports a failure, and with --timeout gives up
// on a connection that moves nothing for that long.
#include "endpoint_link.h"

#include <poll.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "setup.h"
#include "socket_io.h"
#include "veilcastnet_asio.hpp"

namespace vctool {
namespace {

namespace vn = veilcastnet;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using Options = vcoptions::EndpointOptions;
using Stream = vn::asio::stream<tcp::socket>;
using Clock = std::chrono::steady_clock;
constexpr auto AS_TUPLE = asio::experimental::as_tuple(asio::use_awaitable);

// Without --timeout: 30 s to connect and to finish the handshake, and no
// limit on an idle connection.
constexpr std::chrono::seconds DEFAULT_LIMIT{30};
// Clients whose handshakes may run at once; more are turned away.
constexpr std::size_t PENDING_MAX = 16;
constexpr std::size_t INPUT_CHUNK = 16384;
// Room for a whole record's payload: the adapter opens straight into it.
constexpr std::size_t OUTPUT_CHUNK = 65536;

// The suite as the certificate callback last reported it; a server that
// does not ask for a client certificate never learns it through the
// public interface.
uint32_t suiteReported = 0;

Clock::duration limitOf(const Options& options) {
    if (options.timeoutSeconds <= 0) {
        return DEFAULT_LIMIT;
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.timeoutSeconds));
}

std::string secondsText(Clock::duration limit) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(limit).count());
    return text;
}

// The library's results with their numbers, as the other commands show them.
std::string describe(const std::error_code& ec) {
    if (ec.category() == vn::asio::category() && ec.value() <= VC_HANDSHAKE_IN_PROGRESS) {
        return resultText(ec.value());
    }
    return ec.message();
}

// What to change when a handshake ends with one of these answers.
std::string handshakeHint(const Options& options, const std::error_code& ec) {
    struct Hint {
        int32_t result;
        const char* text;
    };
    constexpr Hint HINTS[] = {
        {VC_NO_CERTIFICATE, "the server asks for a client certificate: give --cert and --key"},
        {VC_NO_COMMON_CIPHER, "the peer offers none of the --ciphers"},
        {VC_CERTIFICATE_INVALID, "the peer's certificate does not check out against --ca"},
        {VC_WRONG_SERVICENAME, "the server's commonName is not the --name"},
    };
    for (const Hint& hint : HINTS) {
        if (ec.category() == vn::asio::category() && hint.result == ec.value()) {
            return std::string("; ") + hint.text +
                   (hint.result == VC_WRONG_SERVICENAME ? " " + options.name : "");
        }
    }
    return "";
}

// The handshake, given up (timed_out) once limit has passed.
asio::awaitable<std::error_code> handshakeWithin(Stream& stream, Clock::duration limit) {
    std::error_code ec;
    asio::steady_timer timer(stream.get_executor(), limit);
    // || waits for the first to succeed, so the handshake's failure comes
    // back as a value.
    const auto first =
        co_await (stream.async_handshake(asio::redirect_error(asio::use_awaitable, ec)) ||
                  timer.async_wait(asio::use_awaitable));
    co_return first.index() == 1 ? make_error_code(asio::error::timed_out) : ec;
}

// All of data to standard output, blocking: a slow reader there holds the
// peer back too. errno says why not.
bool writeOutput(const uint8_t* data, std::size_t size) {
    return vcsocket::writeAll(STDOUT_FILENO, data, size);
}

// Standard input, read on a thread of its own: a terminal, a pipe and a
// file all simply block there, and none is switched to non-blocking mode
// under the shell that shares it. One chunk at a time: the next read waits
// until the previous chunk has been sent. The thread's chunks reach the
// io_context's thread as handlers, so the pump outlives the io_context's
// run.
class InputPump {
  public:
    struct Chunk {
        std::vector<uint8_t> bytes;  // empty: the end of the input
        std::string error;
    };

    explicit InputPump(asio::io_context& io) : io_(io), ready_(io) {}
    ~InputPump() {
        stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        for (const int fd : stop_) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    InputPump(const InputPump&) = delete;
    InputPump& operator=(const InputPump&) = delete;

    // Reading begins only with the relay: standard input is for the peer
    // that completed its handshake.
    void start() {
        if (pipe(stop_) != 0) {
            stop_[0] = stop_[1] = -1;
        }
        thread_ = std::thread([this] { readAll(); });
    }
    // The next chunk; an empty one once stopped.
    asio::awaitable<Chunk> next() {
        while (chunks_.empty() && !stopped_) {
            ready_.expires_at(Clock::time_point::max());
            co_await ready_.async_wait(AS_TUPLE);
        }
        if (chunks_.empty()) {
            co_return Chunk{};
        }
        Chunk chunk = std::move(chunks_.front());
        chunks_.pop_front();
        co_return chunk;
    }
    // The chunk has been sent: the thread may read the next.
    void taken() { credit_.release(); }
    void stop() {
        if (!stopped_) {
            stopped_ = true;
            stopping_ = true;
            ready_.cancel();
            credit_.release();
            [[maybe_unused]] const ssize_t ignored = write(stop_[1], "", 1);
        }
    }

  private:
    void readAll() {
        for (;;) {
            pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(watched, 2, -1) < 0 && errno != EINTR) {
                deliver({{}, std::strerror(errno)});
                return;
            }
            if (stopping_ || watched[1].revents != 0) {
                return;
            }
            Chunk chunk{std::vector<uint8_t>(INPUT_CHUNK), {}};
            const ssize_t got = read(STDIN_FILENO, chunk.bytes.data(), chunk.bytes.size());
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            chunk.bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            if (got < 0) {
                chunk.error = std::strerror(errno);
            }
            deliver(std::move(chunk));
            if (got <= 0) {
                return;
            }
            credit_.acquire();
        }
    }
    // Hands a chunk to the io_context's thread, which alone touches chunks_.
    void deliver(Chunk chunk) {
        asio::post(io_, [this, chunk = std::move(chunk)]() mutable {
            chunks_.push_back(std::move(chunk));
            ready_.cancel();
        });
    }

    asio::io_context& io_;
    asio::steady_timer ready_;
    std::deque<Chunk> chunks_;
    bool stopped_ = false;
    std::atomic<bool> stopping_{false};
    // Released by taken() and once more by stop(): a counting semaphore.
    std::counting_semaphore<> credit_{0};
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// One relay: standard input to the peer, the peer to standard output, and
// the watch over idle stretches, until both directions have ended or
// anything failed.
struct Relay {
    Stream& stream;
    InputPump& input;
    Clock::duration idleLimit;  // zero: none
    asio::steady_timer idle;
    Clock::time_point lastMoved = Clock::now();
    uint64_t sent = 0;
    uint64_t received = 0;
    bool inputOpen = true;
    bool peerOpen = true;
    bool finished = false;
    std::string failure;

    Relay(Stream& link, InputPump& pump, Clock::duration limit)
        : stream(link), input(pump), idleLimit(limit), idle(link.get_executor()) {}

    void fail(const std::string& why) {
        if (!finished) {
            failure = why;
            finish();
        }
    }
    void endedOne() {
        if (!inputOpen && !peerOpen) {
            finish();
        }
    }
    // Closing the socket ends a read or write still waiting on it.
    void finish() {
        finished = true;
        std::error_code ignored;
        stream.next_layer().close(ignored);
        input.stop();
        idle.cancel();
    }
};

asio::awaitable<void> peerToOutput(Relay& relay) {
    std::vector<uint8_t> buffer(OUTPUT_CHUNK);
    for (;;) {
        const auto [ec, n] = co_await relay.stream.async_read_some(asio::buffer(buffer), AS_TUPLE);
        // What arrived is written out before any failure after it is reported.
        if (n > 0) {
            relay.lastMoved = Clock::now();
            relay.received += n;
            if (!writeOutput(buffer.data(), n)) {
                relay.fail(std::string("standard output: ") + std::strerror(errno));
                co_return;
            }
        }
        if (relay.finished) {
            co_return;
        }
        if (ec == asio::error::eof) {
            relay.peerOpen = false;
            relay.endedOne();
            co_return;
        }
        if (ec) {
            relay.fail("receiving: " + describe(ec));
            co_return;
        }
    }
}

asio::awaitable<void> inputToPeer(Relay& relay) {
    for (;;) {
        const InputPump::Chunk chunk = co_await relay.input.next();
        if (relay.finished) {
            co_return;
        }
        if (!chunk.error.empty()) {
            relay.fail("standard input: " + chunk.error);
            co_return;
        }
        if (chunk.bytes.empty()) {
            // The peer reads the end of the stream.
            std::error_code ignored;
            relay.stream.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
            relay.inputOpen = false;
            relay.endedOne();
            co_return;
        }
        const auto [ec, n] =
            co_await asio::async_write(relay.stream, asio::buffer(chunk.bytes), AS_TUPLE);
        if (relay.finished) {
            co_return;
        }
        if (ec) {
            relay.fail("sending: " + describe(ec));
            co_return;
        }
        relay.lastMoved = Clock::now();
        relay.sent += n;
        relay.input.taken();
    }
}

asio::awaitable<void> watchIdle(Relay& relay) {
    while (relay.idleLimit != Clock::duration::zero() && !relay.finished) {
        relay.idle.expires_at(relay.lastMoved + relay.idleLimit);
        co_await relay.idle.async_wait(AS_TUPLE);
        if (!relay.finished && Clock::now() >= relay.lastMoved + relay.idleLimit) {
            relay.fail("no data moved either way for " + secondsText(relay.idleLimit));
        }
    }
}

// Until both directions have ended: the peer may still be answering after
// our input ends, and still be reading after its own ends. 0 when both
// ended cleanly, 1 on any failure.
asio::awaitable<int> relay(Stream& stream, InputPump& input, const Options& options) {
    std::fprintf(stderr, "vctool: handshake complete%s%s\n", suiteReported != 0 ? ", " : "",
                 suiteReported != 0 ? suiteName(suiteReported).c_str() : "");
    Relay state(stream, input,
                options.timeoutSeconds > 0 ? limitOf(options) : Clock::duration::zero());
    input.start();
    co_await (peerToOutput(state) && inputToPeer(state) && watchIdle(state));
    if (!state.failure.empty()) {
        std::fprintf(stderr, "vctool: %s\n", state.failure.c_str());
    }
    std::fprintf(stderr, "vctool: connection closed; %llu bytes sent, %llu received\n",
                 static_cast<unsigned long long>(state.sent),
                 static_cast<unsigned long long>(state.received));
    co_return state.failure.empty() ? 0 : 1;
}

std::string peerText(const tcp::socket& socket) {
    std::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    return ec ? "a client" : peer.address().to_string() + " port " + std::to_string(peer.port());
}

struct Server {
    const Options& options;
    InputPump& input;
    vn::Context context;
    tcp::acceptor acceptor;
    std::list<Stream*> pending;
    bool chosen = false;
    int status = 1;
};

// One client's handshake; the first to finish gets the relay, and the
// others are dropped.
asio::awaitable<void> meet(Server& server, tcp::socket socket) {
    const std::string who = peerText(socket);
    Stream stream(std::move(socket), server.context);
    const auto entry = server.pending.insert(server.pending.end(), &stream);
    const Clock::duration limit = limitOf(server.options);
    const std::error_code ec = co_await handshakeWithin(stream, limit);
    server.pending.erase(entry);
    if (server.chosen) {
        co_return;
    }
    if (ec) {
        std::fprintf(stderr, "vctool: handshake with %s failed: %s%s; waiting for another client\n",
                     who.c_str(),
                     ec == asio::error::timed_out
                         ? ("not complete within " + secondsText(limit)).c_str()
                         : describe(ec).c_str(),
                     handshakeHint(server.options, ec).c_str());
        co_return;
    }
    server.chosen = true;
    server.acceptor.close();
    for (Stream* other : server.pending) {
        other->next_layer().close();
    }
    server.status = co_await relay(stream, server.input, server.options);
}

asio::awaitable<void> acceptClients(Server& server) {
    for (;;) {
        auto [ec, socket] = co_await server.acceptor.async_accept(AS_TUPLE);
        if (server.chosen) {
            co_return;
        }
        if (ec) {
            std::fprintf(stderr, "vctool: accept: %s\n", ec.message().c_str());
            co_return;
        }
        if (server.pending.size() >= PENDING_MAX) {
            std::fprintf(stderr, "vctool: %s turned away: %zu handshakes already running\n",
                         peerText(socket).c_str(), PENDING_MAX);
            continue;
        }
        asio::co_spawn(server.acceptor.get_executor(), meet(server, std::move(socket)),
                       asio::detached);
    }
}

// The first address of host (every address when empty) that takes the port.
bool listen(asio::io_context& io, const Options& options, tcp::acceptor& acceptor) {
    std::error_code ec;
    tcp::resolver resolver(io);
    const auto addresses = resolver.resolve(
        options.host, options.port, tcp::resolver::passive | tcp::resolver::address_configured, ec);
    for (const auto& address : addresses) {
        acceptor.close();
        if (!acceptor.open(address.endpoint().protocol(), ec) &&
            !acceptor.set_option(tcp::acceptor::reuse_address(true), ec) &&
            !acceptor.bind(address.endpoint(), ec) &&
            !acceptor.listen(tcp::socket::max_listen_connections, ec)) {
            return true;
        }
    }
    std::fprintf(stderr, "vctool: --host/--port: %s port %s: %s\n",
                 options.host.empty() ? "*" : options.host.c_str(), options.port.c_str(),
                 ec.message().c_str());
    return false;
}

// Resolves and connects; ec says why not.
asio::awaitable<void> connect(tcp::socket& socket, const Options& options, std::error_code& ec) {
    tcp::resolver resolver(socket.get_executor());
    const auto addresses = co_await resolver.async_resolve(
        options.host, options.port, asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) {
        co_await asio::async_connect(socket, addresses,
                                     asio::redirect_error(asio::use_awaitable, ec));
    }
}

asio::awaitable<int> converse(const Options& options, vn::Context context, InputPump& input) {
    const auto executor = co_await asio::this_coro::executor;
    const Clock::duration limit = limitOf(options);
    tcp::socket socket(executor);
    std::error_code ec;
    asio::steady_timer timer(executor, limit);
    if ((co_await (connect(socket, options, ec) || timer.async_wait(asio::use_awaitable)))
            .index() == 1) {
        std::fprintf(stderr, "vctool: %s port %s: no connection within %s\n", options.host.c_str(),
                     options.port.c_str(), secondsText(limit).c_str());
        co_return 1;
    }
    if (ec) {
        std::fprintf(stderr, "vctool: %s port %s: %s\n", options.host.c_str(), options.port.c_str(),
                     ec.message().c_str());
        co_return 1;
    }
    Stream stream(std::move(socket), context, options.name.c_str());
    ec = co_await handshakeWithin(stream, limit);
    if (ec == asio::error::timed_out) {
        std::fprintf(stderr, "vctool: handshake failed: the server did not complete it within %s\n",
                     secondsText(limit).c_str());
        co_return 1;
    }
    if (ec) {
        std::fprintf(stderr, "vctool: handshake failed: %s%s\n", describe(ec).c_str(),
                     handshakeHint(options, ec).c_str());
        co_return 1;
    }
    co_return co_await relay(stream, input, options);
}

}  // namespace

int32_t VC_API reportCertificate(const uint8_t* der, uint32_t derLength, uint32_t,
                                 uint32_t verifyFlags, uint32_t cipherMask, const uint8_t* md5) {
    std::fprintf(stderr, "vctool: peer certificate\n");
    for (const std::string& line :
         describePeerCertificate(der, derLength, verifyFlags, cipherMask, md5)) {
        std::fprintf(stderr, "vctool:   %s\n", line.c_str());
    }
    suiteReported = cipherMask;
    return verifyFlags == 0 ? 1 : 0;
}

int serve(const Options& options, VcContext* context) {
    asio::io_context io;
    InputPump input(io);
    Server server{options, input, vn::Context::adopt(context), tcp::acceptor(io), {}, false, 1};
    if (!listen(io, options, server.acceptor)) {
        return 1;
    }
    std::fprintf(stderr, "vctool: listening on %s port %d\n",
                 options.host.empty() ? "*" : options.host.c_str(),
                 server.acceptor.local_endpoint().port());
    asio::co_spawn(io, acceptClients(server), asio::detached);
    io.run();
    return server.status;
}

int connectAndConverse(const Options& options, VcContext* context) {
    asio::io_context io;
    InputPump input(io);
    int status = 1;
    asio::co_spawn(io, converse(options, vn::Context::adopt(context), input),
                   [&status](std::exception_ptr, int result) { status = result; });
    io.run();
    return status;
}

}  // namespace vctool
