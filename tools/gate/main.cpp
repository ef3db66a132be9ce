// vcgate: puts the channel in front of any TCP program. A server-mode
// service accepts the protocol and forwards the plaintext to a TCP backend;
// a client-mode service accepts plain TCP and forwards it over the protocol.
// The main thread only reads the configuration, starts the event loops and
// then waits for signals and the stats timer.
#include <sys/resource.h>

#include <asio.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "gate.h"
#include "relay.h"

namespace {

using namespace vcgate;

// More descriptors than the soft limit when the hard one allows: a held
// connection costs two.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

struct Control {
    asio::io_context io{1};
    asio::signal_set signals{io, SIGTERM, SIGINT, SIGHUP};
    asio::steady_timer statsTimer{io};
    asio::steady_timer drainTimer{io};
    Gateway* gateway = nullptr;
    const Config* config = nullptr;
    bool stopping = false;
    std::chrono::steady_clock::time_point graceEnd;
    uint64_t last[4] = {};

    void waitSignal() {
        signals.async_wait([this](std::error_code ec, int signal) {
            if (ec) {
                return;
            }
            if (signal == SIGHUP) {
                reopenLog(config->global.log);
                gateway->reload(*config);
            } else if (!stopping) {
                stopping = true;
                logLine("vcgate: " + timestamp() +
                        " stopping: " + std::to_string(gateway->counters.open.load()) +
                        " connections open, grace " + std::to_string(config->global.grace) + " s");
                gateway->stopAccepting();
                graceEnd = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(config->global.grace));
                drain(false);
            }
            waitSignal();
        });
    }

    // Waits for the open connections to finish, closes what is left at the
    // end of the grace period, and stops once none is open.
    void drain(bool closed) {
        if (gateway->counters.open.load() == 0) {
            io.stop();
            return;
        }
        if (!closed && std::chrono::steady_clock::now() >= graceEnd) {
            gateway->closeAll();
            closed = true;
        }
        drainTimer.expires_after(std::chrono::milliseconds(20));
        drainTimer.async_wait([this, closed](std::error_code ec) {
            if (!ec) {
                drain(closed);
            }
        });
    }

    void statsTick() {
        const auto period = std::chrono::duration<double>(config->global.stats);
        statsTimer.expires_after(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(period));
        statsTimer.async_wait([this, seconds = period.count()](std::error_code ec) {
            if (ec) {
                return;
            }
            const Counters& c = gateway->counters;
            const uint64_t now[4] = {c.handshakes.load(), c.handshakeFailures.load(),
                                     c.fromPeers.load(), c.toPeers.load()};
            char line[256];
            std::snprintf(line, sizeof(line),
                          " stats: open=%llu handshakes/s=%.1f failed/s=%.1f "
                          "from-peers-bytes/s=%.0f to-peers-bytes/s=%.0f accepted=%llu "
                          "refused=%llu",
                          static_cast<unsigned long long>(c.open.load()),
                          static_cast<double>(now[0] - last[0]) / seconds,
                          static_cast<double>(now[1] - last[1]) / seconds,
                          static_cast<double>(now[2] - last[2]) / seconds,
                          static_cast<double>(now[3] - last[3]) / seconds,
                          static_cast<unsigned long long>(c.accepted.load()),
                          static_cast<unsigned long long>(c.refused.load()));
            std::copy(now, now + 4, last);
            logLine("vcgate: " + timestamp() + line);
            statsTick();
        });
    }
};

}  // namespace

int main(int argc, char** argv) {
    Config config;
    bool help = false, version = false;
    if (!parseCommandLine(argc, argv, &config, &help, &version)) {
        return 2;
    }
    if (help) {
        printUsage();
        return 0;
    }
    if (version) {
        std::printf("vcgate %s\n", VC_VERSION_TEXT);
        return 0;
    }
    if (!config.global.log.empty() && !reopenLog(config.global.log)) {
        return 1;
    }
    // A peer that goes away while we write is an error code, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    if (!seedLibrary(config.global)) {
        return 1;
    }
    std::vector<vn::Context> contexts;
    for (const ServiceConfig& service : config.services) {
        std::string why;
        contexts.push_back(loadContext(config, service, &why));
        if (!contexts.back()) {
            std::fprintf(stderr, "vcgate: %s\n", why.c_str());
            return 1;
        }
    }
    if (!config.global.seed.empty() &&
        !refreshSeedFile(config.global.seed, probeContext(config.services.front()))) {
        return 1;
    }
    Gateway gateway;
    if (!gateway.prepare(config, std::move(contexts))) {
        return 1;
    }
    Control control;
    control.gateway = &gateway;
    control.config = &config;
    control.waitSignal();
    if (config.global.stats > 0) {
        control.statsTick();
    }
    gateway.start();
    control.io.run();
    gateway.stop();
    logLine("vcgate: " + timestamp() + " stopped");
    return 0;
}
