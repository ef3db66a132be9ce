// The gateway's connections and the per-thread state they live in. Each
// thread runs its own io_context with its own connections; an acceptor hands
// each new socket to the next thread in turn (see relay.cpp). A connection
// relays its two directions independently (see conn.cpp). Timeouts are
// checked by one sweep per thread rather than a timer per connection, which
// keeps an idle connection small.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay.h"
#include "veilcastnet_asio.hpp"

namespace vcgate::detail {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// A read of the plain side, and a read of the secure side while data
// streams, take a whole record's payload; an idle secure read waits with a
// small buffer inside the connection instead.
constexpr std::size_t BIG = vn::RECORD_PAYLOAD_MAX;
constexpr std::size_t SMALL = 2048;
constexpr std::size_t POOL_KEEP = 64;
// After a failure the other direction may still finish, but not linger.
constexpr double FAILED_IDLE = 5;
constexpr uint32_t SLOT_BITS = 22;

inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The secure side's socket as the adapter's next layer. A server learns the
// agreed suite only through the certificate callback, which it gets only
// when it asks for a client certificate; otherwise the suite is read from
// the client's key exchange, which travels in plain: after the 39 bytes of
// the hello, its length (2 bytes), its type 3 and the suite (0 RC4, 1 DES).
struct Wire {
    static constexpr std::size_t HEAD = 43;

    tcp::socket socket;
    uint8_t head[HEAD] = {};
    std::size_t seen = HEAD;  // HEAD: not looking

    using executor_type = tcp::socket::executor_type;
    executor_type get_executor() { return socket.get_executor(); }
    tcp::socket::lowest_layer_type& lowest_layer() { return socket.lowest_layer(); }

    template <typename Buffers, typename Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return socket.async_write_some(buffers, std::forward<Token>(token));
    }

    template <typename Buffers, typename Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        if (seen == HEAD) {
            return socket.async_read_some(buffers, std::forward<Token>(token));
        }
        return asio::async_compose<Token, void(std::error_code, std::size_t)>(
            [this, buffers, started = false](auto& self, std::error_code ec = {},
                                             std::size_t n = 0) mutable {
                if (!started) {
                    started = true;
                    socket.async_read_some(buffers, std::move(self));
                    return;
                }
                const std::size_t take = std::min(n, HEAD - seen);
                asio::buffer_copy(asio::buffer(head + seen, take), buffers);
                seen += take;
                self.complete(ec, n);
            },
            token, socket);
    }

    // "RC4-128", "triple-DES-CBC", or null when the bytes did not say.
    const char* suite() const {
        if (seen < HEAD || head[0] != 0 || head[1] != 37 || head[41] != 3 || head[42] > 1) {
            return nullptr;
        }
        return head[42] == 0 ? "RC4-128" : "triple-DES-CBC";
    }
};

using SecureStream = vn::asio::stream<Wire>;

struct Service;
class Conn;

// The io_context comes after what its pending handlers touch, so that it
// is destroyed first and a connection still held by one finds its slot.
struct Worker {
    unsigned index = 0;
    double sweepSeconds = 1;
    std::thread thread;
    Conn* first = nullptr;  // every connection of this thread, for the sweep
    std::vector<Conn*> slots;
    std::vector<uint32_t> freeSlots;
    std::vector<uint8_t*> pool;
    Counters* counters = nullptr;
    asio::io_context io{1};
    asio::steady_timer sweepTimer{io};

    ~Worker() {
        for (uint8_t* block : pool) {
            delete[] block;
        }
    }
    uint8_t* takeBlock() {
        if (pool.empty()) {
            return new uint8_t[BIG];
        }
        uint8_t* block = pool.back();
        pool.pop_back();
        return block;
    }
    void giveBlock(uint8_t* block) {
        if (pool.size() < POOL_KEEP) {
            pool.push_back(block);
        } else {
            delete[] block;
        }
    }
    void sweep();
};
// Every thread's worker, fixed before the threads start; the certificate
// callback finds a connection through it.
extern std::vector<Worker*> allWorkers;

struct Service {
    ServiceConfig config;
    std::vector<tcp::endpoint> far;
    std::mutex contextLock;
    vn::Context context;
    std::atomic<uint32_t> open{0};
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retry;
    Worker* home = nullptr;
    unsigned nextWorker = 0;
};
std::string errorText(const std::error_code& ec);

class Conn : public std::enable_shared_from_this<Conn> {
  public:
    enum class Phase { Connecting, Handshake, Relay, Closed };

    Conn(Worker& worker, Service& service, tcp::socket accepted, const vn::Context& context);
    ~Conn();
    void start();

    // The sweep's look at this connection.
    void checkTime(Clock::time_point now);

    // Ends the connection now, both sockets closed; pending operations
    // finish with operation_aborted.
    void abort(const char* why);

    PeerCertificate certificate;
    Conn* next_ = nullptr;
    Conn* prev_ = nullptr;

  private:
    uint32_t takeSlot();
    void enter(Phase phase);

    // The far side: the backend of a server, the remote server of a client.
    template <typename Then>
    void connectFar(tcp::socket& socket, Then then);
    void beginHandshake();
    void beginRelay();
    const char* plainSide() const { return server_ ? "backend" : "peer"; }
    const char* secureSide() const { return server_ ? "peer" : "server"; }

    void fail(const char* side, const std::error_code& ec);
    void moved(std::size_t n, bool fromPlain);
    void directionDone(bool& done);

    // Plain to secure: wait until readable, then read into a pooled block,
    // so a silent plain side holds no buffer.
    void waitPlain();
    void plainReadable(std::error_code ec);

    // Secure to plain. The adapter hands out every authenticated byte
    // before it reports a failure, and this loop writes them before it
    // reads again: a bad record reaches the plain side as the end of the
    // stream after everything good.
    void readSecure();
    void secureRead(std::error_code ec, std::size_t n, uint8_t* block, asio::mutable_buffer into);

    // The library has ended the connection (a bad or cut-off record), so
    // what still arrives cannot be opened: read it raw to the end.
    void drainSecure();
    void logEnd();

    Worker& worker_;
    Service& service_;
    const bool server_;
    const uint32_t slot_;
    tcp::socket plain_;
    SecureStream secure_;
    Phase phase_ = Phase::Connecting;
    Clock::time_point started_, phaseStart_, lastActivity_;
    std::string peer_;
    std::string result_;
    const char* suite_ = nullptr;
    uint64_t fromPeer_ = 0;
    uint64_t toPeer_ = 0;
    bool plainDone_ = false;     // the plain side has ended (plain to secure is over)
    bool secureDone_ = false;    // the secure side has ended
    bool plainBroken_ = false;   // writes to the plain side fail
    bool secureBroken_ = false;  // writes to the secure side fail
    bool streaming_ = false;
    uint8_t small_[SMALL];
    friend struct Worker;
};

}  // namespace vcgate::detail
