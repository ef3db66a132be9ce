// The gateway's running part: the threads, the services' acceptors and the
// limits on what they take in. The connections themselves are in conn.cpp.
#include "relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "conn.h"

namespace vcgate {

using detail::allWorkers;
using detail::Conn;
using detail::FAILED_IDLE;
using detail::Service;
using detail::tcp;
using detail::Worker;

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
