// The plain TCP ends of the gateway tests, on loopback:
//   gate_peer echo PORTFILE [--after-eof] [--speak FILE [--hang-up N]] [--record FILE]
//       a backend that echoes each connection (--after-eof: only once the
//       client has ended; --speak: sends FILE and ends its side first,
//       then records what arrives; --hang-up: sends FILE, reads N bytes
//       and closes with the rest unread); writes its port to PORTFILE
//   gate_peer send PORT FILE [--pause-after N] [--wait-eof]
//       sends FILE (pausing 1 s after N bytes; or only after the other
//       side has ended), ends its side, writes what it receives to stdout
//   gate_peer hold PORT      connects silently; prints the seconds until closed
//   gate_peer many PORT N MAX   N connections, 8 at a time, each echoing a
//       random size up to MAX in random pieces; fails on any difference
//   gate_peer spoil PORTFILE PORT OFFSET   relays one connection to PORT,
//       flipping the byte at OFFSET of what the client sends
//   gate_peer freeport       prints a port nobody listens on
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

bool sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) {
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::string readAll(int fd) {
    std::string all;
    char buffer[16384];
    for (ssize_t k; (k = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
        all.append(buffer, static_cast<std::size_t>(k));
    }
    return all;
}

std::string fileText(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const char* option(int argc, char** argv, const char* name) {
    for (int i = 0; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return nullptr;
}

bool flag(int argc, char** argv, const char* name) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return true;
        }
    }
    return false;
}

void echoOne(int fd, bool afterEof, const char* speak, const char* record, const char* hangUp) {
    if (speak != nullptr && hangUp != nullptr) {
        const std::string text = fileText(speak);
        sendAll(fd, text.data(), text.size());
        std::size_t left = std::strtoul(hangUp, nullptr, 10);
        char buffer[4096];
        for (ssize_t k;
             left > 0 && (k = recv(fd, buffer, std::min(left, sizeof(buffer)), 0)) > 0;) {
            left -= static_cast<std::size_t>(k);
        }
        // The reset of closing with bytes unread throws away what is still
        // queued to send: wait until it has all left, so only the gate can
        // lose it.
        for (int queued = 1; ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(fd);
        return;
    }
    if (speak != nullptr) {
        const std::string text = fileText(speak);
        sendAll(fd, text.data(), text.size());
        shutdown(fd, SHUT_WR);
        std::ofstream(record, std::ios::binary) << readAll(fd);
    } else if (afterEof) {
        const std::string all = readAll(fd);
        sendAll(fd, all.data(), all.size());
    } else {
        std::string got;
        char buffer[16384];
        for (ssize_t k; (k = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
            got.append(buffer, static_cast<std::size_t>(k));
            if (!sendAll(fd, buffer, static_cast<std::size_t>(k))) {
                break;
            }
        }
        if (record != nullptr) {
            std::ofstream(record, std::ios::binary) << got;
        }
    }
    shutdown(fd, SHUT_WR);
    readAll(fd);
    close(fd);
}

int listenOn(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    const sockaddr_in a = loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 128) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    return fd;
}

int portOf(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// One echoed exchange of a random size in random pieces; true when intact.
bool exchange(int port, std::size_t max, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(random() % (max + 1), '\0');
    for (char& c : data) {
        c = static_cast<char>(random());
    }
    const int fd = connectTo(port);
    std::thread writer([&] {
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t piece = std::min<std::size_t>(data.size() - at, 1 + random() % 40000);
            sendAll(fd, data.data() + at, piece);
            at += piece;
        }
        shutdown(fd, SHUT_WR);
    });
    const std::string back = readAll(fd);
    writer.join();
    close(fd);
    return back == data;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "echo" && argc > 2) {
        const int listener = listenOn(0);
        const std::string portFile = argv[2];
        std::ofstream(portFile + ".new") << portOf(listener) << "\n";
        std::rename((portFile + ".new").c_str(), portFile.c_str());
        for (;;) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                std::thread(echoOne, fd, flag(argc, argv, "--after-eof"),
                            option(argc, argv, "--speak"), option(argc, argv, "--record"),
                            option(argc, argv, "--hang-up"))
                    .detach();
            }
        }
    }
    if (mode == "send" && argc > 3) {
        const int fd = connectTo(std::atoi(argv[2]));
        const std::string data = fileText(argv[3]);
        const char* pause = option(argc, argv, "--pause-after");
        std::string got;
        if (flag(argc, argv, "--wait-eof")) {
            got = readAll(fd);
        }
        std::thread writer([&] {
            const std::size_t split = pause != nullptr ? std::strtoul(pause, nullptr, 10) : 0;
            sendAll(fd, data.data(), std::min(split, data.size()));
            if (pause != nullptr) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
            sendAll(fd, data.data() + std::min(split, data.size()),
                    data.size() - std::min(split, data.size()));
            shutdown(fd, SHUT_WR);
        });
        got += readAll(fd);
        writer.join();
        std::fwrite(got.data(), 1, got.size(), stdout);
        return 0;
    }
    if (mode == "hold" && argc > 2) {
        const auto start = std::chrono::steady_clock::now();
        readAll(connectTo(std::atoi(argv[2])));
        std::printf(
            "%.2f\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return 0;
    }
    if (mode == "many" && argc > 4) {
        const int port = std::atoi(argv[2]);
        const unsigned count = static_cast<unsigned>(std::atoi(argv[3]));
        const std::size_t max = std::strtoul(argv[4], nullptr, 10);
        std::atomic<unsigned> next{0}, bad{0};
        std::vector<std::thread> runners;
        for (int i = 0; i < 8; ++i) {
            runners.emplace_back([&] {
                for (unsigned n; (n = next++) < count;) {
                    bad += exchange(port, max, n) ? 0 : 1;
                }
            });
        }
        for (std::thread& t : runners) {
            t.join();
        }
        std::printf("%u of %u connections intact\n", count - bad, count);
        return bad == 0 ? 0 : 1;
    }
    if (mode == "spoil" && argc > 4) {
        const int listener = listenOn(0);
        const std::string portFile = argv[2];
        std::ofstream(portFile + ".new") << portOf(listener) << "\n";
        std::rename((portFile + ".new").c_str(), portFile.c_str());
        const int client = accept(listener, nullptr, nullptr);
        const int server = connectTo(std::atoi(argv[3]));
        const std::size_t offset = std::strtoul(argv[4], nullptr, 10);
        auto pump = [](int from, int to, std::size_t flipAt) {
            char buffer[16384];
            std::size_t at = 0;
            for (ssize_t k; (k = recv(from, buffer, sizeof(buffer), 0)) > 0;) {
                const std::size_t n = static_cast<std::size_t>(k);
                if (flipAt >= at && flipAt < at + n) {
                    buffer[flipAt - at] ^= 0x20;
                }
                at += n;
                sendAll(to, buffer, n);
            }
            shutdown(to, SHUT_WR);
        };
        std::thread up(pump, client, server, offset);
        pump(server, client, SIZE_MAX);
        up.join();
        return 0;
    }
    if (mode == "freeport") {
        const int fd = listenOn(0);
        std::printf("%d\n", portOf(fd));
        close(fd);
        return 0;
    }
    std::fprintf(stderr, "usage: see the top of gate_peer.cpp\n");
    return 2;
}
