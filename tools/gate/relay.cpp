// The gateway's connections. Each thread runs its own io_context with its
// own connections; an acceptor hands each new socket to the next thread in
// turn. A connection relays its two directions independently: a side that
// ends its sending is half-closed towards the other, a failure in one
// direction leaves the other to finish, and the connection ends when both
// are done. A direction reads again only after its write has completed, so
// it never holds more than one read's worth and the record being sent.
// Timeouts are checked by one sweep per thread rather than a timer per
// connection, which keeps an idle connection small.
#include "relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "veilcastnet_asio.hpp"

namespace vcgate {
namespace {

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

double seconds(Clock::duration d) {
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

std::vector<Worker*> allWorkers;  // fixed before the threads start

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

std::string errorText(const std::error_code& ec) {
    return ec.category() == vn::asio::category() ? ec.message() : ec.message();
}

class Conn : public std::enable_shared_from_this<Conn> {
  public:
    enum class Phase { Connecting, Handshake, Relay, Closed };

    Conn(Worker& worker, Service& service, tcp::socket accepted, const vn::Context& context)
        : worker_(worker),
          service_(service),
          server_(service.config.mode == Mode::Server),
          slot_(takeSlot()),
          plain_(server_ ? tcp::socket(worker.io) : std::move(accepted)),
          secure_(Wire{server_ ? std::move(accepted) : tcp::socket(worker.io)}, context,
                  server_ ? nullptr : service.config.serviceName.c_str(),
                  worker.index << SLOT_BITS | slot_) {
        std::error_code ec;
        const tcp::socket& peer = server_ ? secure_.next_layer().socket : plain_;
        const tcp::endpoint endpoint = peer.remote_endpoint(ec);
        peer_ = ec ? "?" : endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
        if (server_) {
            secure_.next_layer().seen = 0;
        }
        started_ = lastActivity_ = phaseStart_ = Clock::now();
        next_ = worker_.first;
        if (next_ != nullptr) {
            next_->prev_ = this;
        }
        worker_.first = this;
    }

    ~Conn() {
        worker_.slots[slot_] = nullptr;
        worker_.freeSlots.push_back(slot_);
        (prev_ != nullptr ? prev_->next_ : worker_.first) = next_;
        if (next_ != nullptr) {
            next_->prev_ = prev_;
        }
        service_.open.fetch_sub(1, std::memory_order_relaxed);
        worker_.counters->open.fetch_sub(1, std::memory_order_relaxed);
        logEnd();
    }

    void start() {
        if (server_) {
            beginHandshake();
        } else {
            connectFar(secure_.next_layer().socket, [](Conn& c) { c.beginHandshake(); });
        }
    }

    // The sweep's look at this connection.
    void checkTime(Clock::time_point now) {
        const ServiceConfig& c = service_.config;
        const double inPhase = seconds(now - phaseStart_);
        if (phase_ == Phase::Connecting && inPhase > c.connectTimeout) {
            abort("connect timeout");
        } else if (phase_ == Phase::Handshake && inPhase > c.handshakeTimeout) {
            abort("handshake timeout");
        } else if (phase_ == Phase::Relay &&
                   seconds(now - lastActivity_) >
                       (result_.empty() ? c.idleTimeout : std::min(c.idleTimeout, FAILED_IDLE))) {
            abort("idle timeout");
        }
    }

    // Ends the connection now, both sockets closed; pending operations
    // finish with operation_aborted.
    void abort(const char* why) {
        if (phase_ == Phase::Closed) {
            return;
        }
        if (result_.empty()) {
            result_ = why;
        }
        phase_ = Phase::Closed;
        std::error_code ignored;
        plain_.close(ignored);
        secure_.next_layer().socket.close(ignored);
    }

    PeerCertificate certificate;
    Conn* next_ = nullptr;
    Conn* prev_ = nullptr;

  private:
    uint32_t takeSlot() {
        uint32_t slot;
        if (!worker_.freeSlots.empty()) {
            slot = worker_.freeSlots.back();
            worker_.freeSlots.pop_back();
        } else {
            slot = static_cast<uint32_t>(worker_.slots.size());
            worker_.slots.push_back(nullptr);
        }
        worker_.slots[slot] = this;
        return slot;
    }

    void enter(Phase phase) {
        phase_ = phase;
        phaseStart_ = lastActivity_ = Clock::now();
    }

    // The far side: the backend of a server, the remote server of a client.
    template <typename Then>
    void connectFar(tcp::socket& socket, Then then) {
        enter(Phase::Connecting);
        asio::async_connect(
            socket, service_.far,
            [self = shared_from_this(), &socket, then](std::error_code ec, const tcp::endpoint&) {
                if (self->phase_ == Phase::Closed) {
                    return;
                }
                if (ec) {
                    self->abort(("connect: " + ec.message()).c_str());
                    return;
                }
                std::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                then(*self);
            });
    }

    void beginHandshake() {
        enter(Phase::Handshake);
        secure_.async_handshake([self = shared_from_this()](std::error_code ec) {
            Conn& c = *self;
            if (c.phase_ == Phase::Closed) {
                return;
            }
            Counters& counters = *c.worker_.counters;
            if (ec) {
                counters.handshakeFailures.fetch_add(1, std::memory_order_relaxed);
                c.abort(("handshake: " + errorText(ec)).c_str());
                return;
            }
            counters.handshakes.fetch_add(1, std::memory_order_relaxed);
            c.suite_ = c.secure_.next_layer().suite();
            c.secure_.next_layer().seen = Wire::HEAD;
            if (c.server_) {
                c.connectFar(c.plain_, [](Conn& conn) { conn.beginRelay(); });
            } else {
                c.beginRelay();
            }
        });
    }

    void beginRelay() {
        enter(Phase::Relay);
        std::error_code ignored;
        plain_.non_blocking(true, ignored);
        secure_.next_layer().socket.non_blocking(true, ignored);
        waitPlain();
        readSecure();
    }

    const char* plainSide() const { return server_ ? "backend" : "peer"; }
    const char* secureSide() const { return server_ ? "peer" : "server"; }

    void fail(const char* side, const std::error_code& ec) {
        if (result_.empty()) {
            result_ = std::string(side) + ": " + errorText(ec);
        }
    }

    void moved(std::size_t n, bool fromPlain) {
        lastActivity_ = Clock::now();
        const bool fromPeer = fromPlain != server_;
        (fromPeer ? fromPeer_ : toPeer_) += n;
        (fromPeer ? worker_.counters->fromPeers : worker_.counters->toPeers)
            .fetch_add(n, std::memory_order_relaxed);
    }

    void directionDone(bool& done) {
        done = true;
        if (plainDone_ && secureDone_) {
            // Both sides have ended their sending: nothing is left unread,
            // so closing sends no reset over anything still in flight.
            abort("");
        }
    }

    // Plain to secure: wait until readable, then read into a pooled block,
    // so a silent plain side holds no buffer.
    void waitPlain() {
        plain_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](std::error_code ec) {
            self->plainReadable(ec);
        });
    }

    void plainReadable(std::error_code ec) {
        if (phase_ == Phase::Closed) {
            return;
        }
        uint8_t* block = nullptr;
        std::size_t n = 0;
        if (!ec) {
            block = worker_.takeBlock();
            n = plain_.read_some(asio::buffer(block, BIG), ec);
        }
        if (ec == asio::error::would_block) {
            worker_.giveBlock(block);
            waitPlain();
            return;
        }
        if (ec) {
            if (block != nullptr) {
                worker_.giveBlock(block);
            }
            if (ec != asio::error::eof) {
                fail(plainSide(), ec);
            }
            std::error_code ignored;
            secure_.next_layer().socket.shutdown(tcp::socket::shutdown_send, ignored);
            directionDone(plainDone_);
            return;
        }
        if (secureBroken_) {
            // Nowhere to deliver: read on to the end, so that the close
            // does not reset what the other direction still sends.
            worker_.giveBlock(block);
            waitPlain();
            return;
        }
        moved(n, true);
        asio::async_write(secure_, asio::buffer(block, n),
                          [self = shared_from_this(), block](std::error_code wec, std::size_t) {
                              Conn& c = *self;
                              c.worker_.giveBlock(block);
                              if (c.phase_ == Phase::Closed) {
                                  return;
                              }
                              if (wec) {
                                  c.fail(c.secureSide(), wec);
                                  c.secureBroken_ = true;
                              } else {
                                  c.lastActivity_ = Clock::now();
                              }
                              c.waitPlain();
                          });
    }

    // Secure to plain. The adapter hands out every authenticated byte
    // before it reports a failure, and this loop writes them before it
    // reads again: a bad record reaches the plain side as the end of the
    // stream after everything good.
    void readSecure() {
        uint8_t* block = nullptr;
        asio::mutable_buffer into(small_, SMALL);
        if (streaming_) {
            block = worker_.takeBlock();
            into = asio::buffer(block, BIG);
        }
        secure_.async_read_some(
            into, [self = shared_from_this(), block, into](std::error_code ec, std::size_t n) {
                self->secureRead(ec, n, block, into);
            });
    }

    void secureRead(std::error_code ec, std::size_t n, uint8_t* block, asio::mutable_buffer into) {
        if (phase_ == Phase::Closed) {
            if (block != nullptr) {
                worker_.giveBlock(block);
            }
            return;
        }
        if (ec) {
            if (block != nullptr) {
                worker_.giveBlock(block);
            }
            if (ec != asio::error::eof) {
                fail(secureSide(), ec);
            }
            std::error_code ignored;
            plain_.shutdown(tcp::socket::shutdown_send, ignored);
            if (ec == asio::error::eof || ec.category() != vn::asio::category()) {
                directionDone(secureDone_);
            } else {
                drainSecure();
            }
            return;
        }
        // A full small read means more is coming: take a whole record's
        // room next time; a short big read means the burst is over.
        streaming_ = block == nullptr ? n == SMALL : n > SMALL;
        if (plainBroken_) {
            if (block != nullptr) {
                worker_.giveBlock(block);
            }
            readSecure();
            return;
        }
        moved(n, false);
        asio::async_write(plain_, asio::buffer(into.data(), n),
                          [self = shared_from_this(), block](std::error_code wec, std::size_t) {
                              Conn& c = *self;
                              if (block != nullptr) {
                                  c.worker_.giveBlock(block);
                              }
                              if (c.phase_ == Phase::Closed) {
                                  return;
                              }
                              if (wec) {
                                  c.fail(c.plainSide(), wec);
                                  c.plainBroken_ = true;
                              } else {
                                  c.lastActivity_ = Clock::now();
                              }
                              c.readSecure();
                          });
    }

    // The library has ended the connection (a bad or cut-off record), so
    // what still arrives cannot be opened: read it raw to the end.
    void drainSecure() {
        tcp::socket& socket = secure_.next_layer().socket;
        socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](std::error_code ec) {
            Conn& c = *self;
            if (c.phase_ == Phase::Closed) {
                return;
            }
            uint8_t scrap[4096];
            std::size_t n = 0;
            if (!ec) {
                n = c.secure_.next_layer().socket.read_some(asio::buffer(scrap), ec);
            }
            if (ec && ec != asio::error::would_block) {
                c.directionDone(c.secureDone_);
            } else {
                (void)n;
                c.drainSecure();
            }
        });
    }

    void logEnd() {
        const char* suite = suite_;
        if (certificate.cipherMask != 0) {
            suite = certificate.cipherMask == VC_CIPHER_RC4_128 ? "RC4-128" : "triple-DES-CBC";
        }
        std::string line = "vcgate: " + timestamp() + " service=" + service_.config.name +
                           " peer=" + peer_ + " suite=" + (suite != nullptr ? suite : "-");
        if (!certificate.md5.empty()) {
            line += " subject=\"" + certificate.subject + "\" md5=" + certificate.md5;
        }
        char numbers[128];
        std::snprintf(numbers, sizeof(numbers), " from-peer=%llu to-peer=%llu seconds=%.3f",
                      static_cast<unsigned long long>(fromPeer_),
                      static_cast<unsigned long long>(toPeer_), seconds(Clock::now() - started_));
        line += numbers;
        line += result_.empty() ? std::string(" result=ok") : " result=\"" + result_ + "\"";
        logLine(line);
    }

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

void Worker::sweep() {
    const Clock::time_point now = Clock::now();
    for (Conn* c = first; c != nullptr;) {
        Conn* after = c->next_;
        c->checkTime(now);
        c = after;
    }
    sweepTimer.expires_after(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sweepSeconds)));
    sweepTimer.async_wait([this](std::error_code ec) {
        if (!ec) {
            sweep();
        }
    });
}

}  // namespace

int32_t VC_API certificateSeen(const uint8_t* der, uint32_t derLength, uint32_t userValue, uint32_t,
                               uint32_t cipherMask, const uint8_t* md5) {
    // Called on the connection's own thread, inside its handshake step.
    const uint32_t index = userValue >> SLOT_BITS;
    const uint32_t slot = userValue & ((1u << SLOT_BITS) - 1);
    if (index < allWorkers.size() && slot < allWorkers[index]->slots.size()) {
        if (Conn* conn = allWorkers[index]->slots[slot]; conn != nullptr) {
            PeerCertificate& seen = conn->certificate;
            seen.cipherMask = cipherMask;
            seen.subject = subjectText(der, derLength);
            seen.md5.clear();
            for (int i = 0; i < 16; ++i) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : ":%02X", md5[i]);
                seen.md5 += hex;
            }
        }
    }
    // The library's own checks decide; a clean certificate is welcome.
    return 1;
}

struct Gateway::State {
    // Workers outlive the services' acceptors; connections, which point at
    // both, are gone before either.
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::unique_ptr<Service>> services;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    std::mutex spareLock;
    int spare = -1;  // a descriptor kept back to refuse with when none is left

    void acceptNext(Service& service, Counters& counters);
    void refuseWithSpare(Service& service, Counters& counters);
};

Gateway::Gateway() : state_(std::make_unique<State>()) {}

Gateway::~Gateway() {
    if (state_->spare >= 0) {
        close(state_->spare);
    }
}

bool Gateway::prepare(const Config& config, std::vector<vn::Context> contexts) {
    State& s = *state_;
    unsigned threads = config.global.threads;
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    double shortest = 1;
    for (const ServiceConfig& service : config.services) {
        shortest = std::min({shortest, service.handshakeTimeout, service.idleTimeout,
                             service.connectTimeout, FAILED_IDLE});
    }
    for (unsigned i = 0; i < threads; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->index = i;
        worker->counters = &counters;
        // A timeout is noticed within a fifth of the shortest one.
        worker->sweepSeconds = std::max(0.01, shortest / 5);
        allWorkers.push_back(worker.get());
        s.workers.push_back(std::move(worker));
    }
    s.spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (std::size_t i = 0; i < config.services.size(); ++i) {
        auto service = std::make_unique<Service>();
        service->config = config.services[i];
        service->context = std::move(contexts[i]);
        service->home = s.workers[i % threads].get();
        const ServiceConfig& c = service->config;
        asio::io_context& io = service->home->io;
        std::error_code ec;
        tcp::resolver resolver(io);
        for (const auto& entry : resolver.resolve(c.connectHost, c.connectPort, ec)) {
            service->far.push_back(entry.endpoint());
        }
        if (ec || service->far.empty()) {
            std::fprintf(stderr, "vcgate: %s: %s\n", where(config, c, "connect").c_str(),
                         ec ? ec.message().c_str() : "no address");
            return false;
        }
        const auto local = resolver.resolve(c.acceptHost.empty() ? "0.0.0.0" : c.acceptHost,
                                            c.acceptPort, tcp::resolver::passive, ec);
        auto acceptor = std::make_unique<tcp::acceptor>(io);
        if (!ec && local.empty()) {
            ec = asio::error::host_not_found;
        }
        if (!ec) {
            const tcp::endpoint endpoint = local.begin()->endpoint();
            acceptor->open(endpoint.protocol(), ec) ||
                acceptor->set_option(tcp::acceptor::reuse_address(true), ec) ||
                acceptor->bind(endpoint, ec) ||
                acceptor->listen(asio::socket_base::max_listen_connections, ec);
        }
        if (ec) {
            std::fprintf(stderr, "vcgate: %s: %s\n", where(config, c, "accept").c_str(),
                         ec.message().c_str());
            return false;
        }
        const tcp::endpoint bound = acceptor->local_endpoint(ec);
        logLine("vcgate: service " + c.name + " (" +
                (c.mode == Mode::Server ? "server" : "client") + " mode) listening on " +
                bound.address().to_string() + " port " + std::to_string(bound.port()));
        acceptor->non_blocking(true, ec);
        service->acceptor = std::move(acceptor);
        service->retry = std::make_unique<asio::steady_timer>(io);
        s.services.push_back(std::move(service));
    }
    return true;
}

void Gateway::State::refuseWithSpare(Service& service, Counters& counters) {
    // No descriptor for the new connection: give back the spare one just
    // long enough to take the connection off the queue and close it, so the
    // peer hears a refusal at once instead of waiting in the backlog.
    std::lock_guard<std::mutex> lock(spareLock);
    if (spare >= 0) {
        close(spare);
        const int fd = accept(service.acceptor->native_handle(), nullptr, nullptr);
        if (fd >= 0) {
            close(fd);
            counters.refused.fetch_add(1, std::memory_order_relaxed);
        }
        spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void Gateway::State::acceptNext(Service& service, Counters& counters) {
    Worker& target = *workers[service.nextWorker++ % workers.size()];
    service.acceptor->async_accept(
        target.io, [this, &service, &counters, &target](std::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !service.acceptor->is_open()) {
                return;
            }
            if (ec) {
                if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
                    refuseWithSpare(service, counters);
                }
                // Whatever it was, try again shortly rather than spin on it.
                service.retry->expires_after(std::chrono::milliseconds(ec ? 10 : 0));
                service.retry->async_wait([this, &service, &counters](std::error_code tec) {
                    if (!tec) {
                        acceptNext(service, counters);
                    }
                });
                return;
            }
            counters.accepted.fetch_add(1, std::memory_order_relaxed);
            const uint32_t max = service.config.maxConnections;
            if (max != 0 && service.open.load(std::memory_order_relaxed) >= max) {
                counters.refused.fetch_add(1, std::memory_order_relaxed);
                std::error_code ignored;
                socket.close(ignored);
            } else {
                service.open.fetch_add(1, std::memory_order_relaxed);
                counters.open.fetch_add(1, std::memory_order_relaxed);
                vn::Context context;
                {
                    std::lock_guard<std::mutex> lock(service.contextLock);
                    context = service.context;
                }
                std::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                asio::post(target.io, [&target, &service, context = std::move(context),
                                       socket = std::move(socket)]() mutable {
                    std::make_shared<Conn>(target, service, std::move(socket), context)->start();
                });
            }
            acceptNext(service, counters);
        });
}

void Gateway::start() {
    State& s = *state_;
    for (auto& worker : s.workers) {
        s.guards.push_back(asio::make_work_guard(worker->io));
        asio::post(worker->io, [w = worker.get()] { w->sweep(); });
    }
    for (auto& service : s.services) {
        asio::post(service->home->io,
                   [this, svc = service.get()] { state_->acceptNext(*svc, counters); });
    }
    for (auto& worker : s.workers) {
        worker->thread = std::thread([w = worker.get()] { w->io.run(); });
    }
}

void Gateway::stopAccepting() {
    for (auto& service : state_->services) {
        asio::post(service->home->io, [svc = service.get()] {
            std::error_code ignored;
            svc->acceptor->close(ignored);
            svc->retry->cancel();
        });
    }
}

void Gateway::closeAll() {
    for (auto& worker : state_->workers) {
        asio::post(worker->io, [w = worker.get()] {
            for (Conn* c = w->first; c != nullptr; c = c->next_) {
                c->abort("shut down at the end of the grace period");
            }
        });
    }
}

void Gateway::stop() {
    State& s = *state_;
    for (auto& worker : s.workers) {
        asio::post(worker->io, [w = worker.get()] { w->sweepTimer.cancel(); });
    }
    s.guards.clear();
    for (auto& worker : s.workers) {
        worker->io.stop();
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
        // Handlers of operations cancelled by the last closes still hold
        // their connections: let them go while the services are there.
        worker->io.restart();
        worker->io.poll();
    }
}

void Gateway::reload(const Config& config) {
    for (auto& service : state_->services) {
        std::string why;
        vn::Context context = loadContext(config, service->config, &why);
        if (!context) {
            logLine("vcgate: " + timestamp() + " service " + service->config.name +
                    ": keeping the old credentials: " + why);
            continue;
        }
        std::lock_guard<std::mutex> lock(service->contextLock);
        service->context = std::move(context);
        logLine("vcgate: " + timestamp() + " service " + service->config.name +
                ": credentials reloaded");
    }
}

}  // namespace vcgate
