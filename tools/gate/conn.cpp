// A connection relays its two directions independently: a side that ends
// its sending is half-closed towards the other, a failure in one direction
// leaves the other to finish, and the connection ends when both are done. A
// direction reads again only after its write has completed, so it never
// holds more than one read's worth and the record being sent.
#include "conn.h"

#include <cstdio>
#include <cstring>

namespace vcgate {
namespace detail {

std::vector<Worker*> allWorkers;

std::string errorText(const std::error_code& ec) {
    return ec.category() == vn::asio::category() ? ec.message() : ec.message();
}

Conn::Conn(Worker& worker, Service& service, tcp::socket accepted, const vn::Context& context)
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

Conn::~Conn() {
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

void Conn::start() {
    if (server_) {
        beginHandshake();
    } else {
        connectFar(secure_.next_layer().socket, [](Conn& c) { c.beginHandshake(); });
    }
}

// The sweep's look at this connection.
void Conn::checkTime(Clock::time_point now) {
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
void Conn::abort(const char* why) {
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

uint32_t Conn::takeSlot() {
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

void Conn::enter(Phase phase) {
    phase_ = phase;
    phaseStart_ = lastActivity_ = Clock::now();
}

// The far side: the backend of a server, the remote server of a client.
template <typename Then>
void Conn::connectFar(tcp::socket& socket, Then then) {
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

void Conn::beginHandshake() {
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

void Conn::beginRelay() {
    enter(Phase::Relay);
    std::error_code ignored;
    plain_.non_blocking(true, ignored);
    secure_.next_layer().socket.non_blocking(true, ignored);
    waitPlain();
    readSecure();
}

void Conn::fail(const char* side, const std::error_code& ec) {
    if (result_.empty()) {
        result_ = std::string(side) + ": " + errorText(ec);
    }
}

void Conn::moved(std::size_t n, bool fromPlain) {
    lastActivity_ = Clock::now();
    const bool fromPeer = fromPlain != server_;
    (fromPeer ? fromPeer_ : toPeer_) += n;
    (fromPeer ? worker_.counters->fromPeers : worker_.counters->toPeers)
        .fetch_add(n, std::memory_order_relaxed);
}

void Conn::directionDone(bool& done) {
    done = true;
    if (plainDone_ && secureDone_) {
        // Both sides have ended their sending: nothing is left unread,
        // so closing sends no reset over anything still in flight.
        abort("");
    }
}

// Plain to secure: wait until readable, then read into a pooled block,
// so a silent plain side holds no buffer.
void Conn::waitPlain() {
    plain_.async_wait(tcp::socket::wait_read,
                      [self = shared_from_this()](std::error_code ec) { self->plainReadable(ec); });
}

void Conn::plainReadable(std::error_code ec) {
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
void Conn::readSecure() {
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

void Conn::secureRead(std::error_code ec, std::size_t n, uint8_t* block,
                      asio::mutable_buffer into) {
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
void Conn::drainSecure() {
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

void Conn::logEnd() {
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

}  // namespace detail

using detail::allWorkers;
using detail::Conn;
using detail::SLOT_BITS;

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

}  // namespace vcgate
