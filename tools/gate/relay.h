// The gateway's running part: one event loop per thread, the services'
// acceptors, and the connections, each relaying both directions on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gate.h"

namespace vcgate {

// Process-wide counters for the stats line; relaxed, as only their sums matter.
struct Counters {
    std::atomic<uint64_t> open{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> handshakes{0};
    std::atomic<uint64_t> handshakeFailures{0};
    std::atomic<uint64_t> fromPeers{0};
    std::atomic<uint64_t> toPeers{0};
};

class Gateway {
  public:
    Gateway();
    ~Gateway();

    // Resolves and binds every service, with the contexts made for them
    // (one per service, in order). False, with a message, when one cannot
    // start; then nothing has started.
    bool prepare(const Config& config, std::vector<vn::Context> contexts);
    // Runs the threads; returns at once.
    void start();
    // SIGTERM: the acceptors close; open connections go on.
    void stopAccepting();
    // The end of the grace period: every connection still open is closed.
    void closeAll();
    // Joins the threads once no connection is open.
    void stop();
    // SIGHUP: every service's credentials read again; a service whose new
    // files do not make a context keeps its old one, and the log says why.
    void reload(const Config& config);

    Counters counters;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vcgate
