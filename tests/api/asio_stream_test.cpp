// The asio adapter over loopback TCP: against itself, against its own
// blocking calls and against a blocking host loop on veilcastnet.hpp, with
// both suites, client certificates and records split at every byte; good
// records followed by a bad one, a cut-off one or the end of the stream;
// and a silent peer that the host's own timer gives up on.
#include <array>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "support/test_vectors.h"
#include "veilcastnet_asio.hpp"

namespace {

namespace vn = veilcastnet;
using namespace asio::experimental::awaitable_operators;
using asio::ip::tcp;
using vctest::Bytes;
constexpr auto AS_TUPLE = asio::experimental::as_tuple(asio::use_awaitable);

// A server context and a client context trusting ca.pem; with clientAuth
// the server asks for a certificate and the client has one.
std::pair<vn::Context, vn::Context> contexts(uint32_t mask, bool clientAuth) {
    std::map<std::string, std::string> text;
    for (const char* name : {"ca.pem", "passphrase.txt", "server.pem", "server-enc.key",
                             "client.pem", "client-enc.key"}) {
        text[name] = vctest::dataFile(std::string("credentials/") + name);
    }
    const std::string_view cas[] = {text["ca.pem"]};
    const vn::PrivateKeyText serverKey{text["server-enc.key"], text["passphrase.txt"]};
    const vn::PrivateKeyText clientKey{text["client-enc.key"], text["passphrase.txt"]};
    auto server = vn::Context::create({clientAuth ? vn::Role::ServerAuthClient : vn::Role::Server,
                                       text["server.pem"], serverKey, cas, nullptr, mask});
    auto client = vn::Context::create(
        {vn::Role::Client,
         clientAuth ? std::optional<std::string_view>(text["client.pem"]) : std::nullopt,
         clientAuth ? std::optional(clientKey) : std::nullopt, cas, nullptr, mask});
    EXPECT_TRUE(server.result.ok() && client.result.ok());
    return {std::move(server.value), std::move(client.value)};
}

std::pair<tcp::socket, tcp::socket> socketPair(asio::io_context& io) {
    tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    tcp::socket one(io), other(io);
    one.connect(acceptor.local_endpoint());
    acceptor.accept(other);
    return {std::move(one), std::move(other)};
}

// A socket whose reads bring one byte each: every message and record the
// peer sends arrives split at every byte.
struct Trickle {
    tcp::socket socket;
    using executor_type = tcp::socket::executor_type;
    executor_type get_executor() { return socket.get_executor(); }
    tcp::socket& lowest_layer() { return socket; }
    template <typename Buffers, typename Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return socket.async_read_some(asio::buffer(*asio::buffer_sequence_begin(buffers), 1),
                                      std::forward<Token>(token));
    }
    template <typename Buffers, typename Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return socket.async_write_some(buffers, std::forward<Token>(token));
    }
};

// The host loop of the host guide, blocking, on veilcastnet.hpp alone.
struct LoopPeer {
    tcp::socket socket;
    vn::Connection connection;
    Bytes input = Bytes(2 * vn::RECORD_SIZE_MAX);
    std::size_t length = 0;

    bool receive() {
        std::error_code ec;
        length += socket.read_some(asio::buffer(input.data() + length, input.size() - length), ec);
        return !ec;
    }
    // A handshake that fails closes the socket, so that the side under test
    // sees the connection end instead of waiting for an answer.
    vn::Result handshake() {
        std::array<uint8_t, vn::HANDSHAKE_OUTPUT_SIZE> output;
        for (;;) {
            const vn::HandshakeStep step =
                connection.handshake(std::span(input).first(length), output);
            length = step.inputLeft;
            if (step.progress == vn::Progress::Send) {
                asio::write(socket, asio::buffer(step.toSend.data(), step.toSend.size()));
            } else if (step.progress != vn::Progress::NeedMore || !receive()) {
                if (!step.result.ok()) {
                    socket.close();
                }
                return step.result;
            }
        }
    }
    Bytes seal(std::span<const uint8_t> data) {
        Bytes wire, record(vn::RECORD_SIZE_MAX);
        do {
            const vn::Sealed sealed = connection.seal(data, record);
            EXPECT_TRUE(sealed.ok());
            wire.insert(wire.end(), sealed.record.begin(), sealed.record.end());
            data = data.subspan(sealed.taken);
        } while (!data.empty());
        return wire;
    }
    // Sends back every payload, each after an empty record, until the end.
    void echo() {
        auto payload = std::make_unique<std::array<uint8_t, vn::RECORD_PAYLOAD_MAX>>();
        for (;;) {
            const vn::Opened opened = connection.open(std::span(input).first(length), *payload);
            if (opened.result == VC_RECEIVE_MORE_DATA && receive()) {
                continue;
            }
            if (!opened.result.ok()) {
                return;
            }
            length = opened.inputLeft;
            asio::write(socket, asio::buffer(vctest::concat({seal({}), seal(opened.payload)})));
        }
    }
};

// The side under test runs asynchronously on the test's thread; the peer
// echoes what it gets, with the adapter on the same io_context or as a
// LoopPeer on a thread of its own.
struct Exchange {
    const char* name;
    bool loopPeer;
    uint32_t mask;
    bool clientAuth;
    bool testedIsClient;
    bool trickle;
};

class AsioStream : public vctest::SeededLibraryTest {};

template <typename Stream>
asio::awaitable<void> sendAndEchoBack(Stream& tested, std::vector<std::size_t> sizes) {
    co_await tested.async_handshake(asio::use_awaitable);
    std::mt19937 rng(7);
    for (const std::size_t size : sizes) {
        const Bytes data = vctest::randomData(rng, size);
        Bytes back(size);
        // One write and one read outstanding at once: the echo of a long
        // write comes back while it is still being written.
        const auto [written, read] =
            co_await (asio::async_write(tested, asio::buffer(data), asio::use_awaitable) &&
                      asio::async_read(tested, asio::buffer(back), asio::use_awaitable));
        EXPECT_EQ(written, size);
        EXPECT_TRUE(read == size && back == data) << size << " bytes";
    }
    tested.lowest_layer().shutdown(tcp::socket::shutdown_send);
    const auto [ec, n] = co_await tested.async_read_some(asio::buffer(sizes), AS_TUPLE);
    EXPECT_EQ(ec, asio::error::eof);
}

asio::awaitable<void> echoAsync(vn::asio::stream<tcp::socket>& peer) {
    co_await peer.async_handshake(asio::use_awaitable);
    std::vector<uint8_t> buffer(4096);
    for (auto [ec, n] = std::tuple<std::error_code, std::size_t>(); !ec;
         std::tie(ec, n) = co_await peer.async_read_some(asio::buffer(buffer), AS_TUPLE)) {
        co_await asio::async_write(peer, asio::buffer(buffer.data(), n), asio::use_awaitable);
    }
    peer.next_layer().close();
}

const auto rethrow = [](std::exception_ptr e) {
    if (e) {
        std::rethrow_exception(e);
    }
};

TEST_F(AsioStream, ExchangesEverySizeBothWays) {
    constexpr Exchange ROWS[] = {
        {"adapter pair, RC4", false, VC_CIPHER_RC4_128, false, true, false},
        {"adapter pair, DES, client auth", false, VC_CIPHER_DES_EDE3_CBC, true, false, false},
        {"loop server, DES", true, VC_CIPHER_DES_EDE3_CBC, false, true, false},
        {"loop client, RC4, client auth", true, VC_CIPHER_RC4_128, true, false, false},
        {"split at every byte, loop server, DES, client auth", true, VC_CIPHER_DES_EDE3_CBC, true,
         true, true},
        {"split at every byte, adapter client, RC4", false, VC_CIPHER_RC4_128, false, false, true},
    };
    for (const Exchange& row : ROWS) {
        SCOPED_TRACE(row.name);
        auto [serverContext, clientContext] = contexts(row.mask, row.clientAuth);
        const char* names[] = {nullptr, "server.example"};
        const vn::Context& peerContext = row.testedIsClient ? serverContext : clientContext;
        // Exactly one record, one byte over, and 1 MiB (not byte by byte).
        const std::size_t record = row.mask == VC_CIPHER_RC4_128 ? 65516 : 65511;
        std::vector<std::size_t> sizes{0, 1, record, record + 1, 1 << 20};
        if (row.trickle) {
            sizes = {0, 1, 300};
        }
        asio::io_context io;
        auto [testedSocket, peerSocket] = socketPair(io);
        vn::asio::stream<tcp::socket> peer(std::move(peerSocket), peerContext,
                                           names[!row.testedIsClient]);
        LoopPeer loop{std::move(peer.next_layer()),
                      vn::Connection::create(peerContext, names[!row.testedIsClient]).value};
        std::jthread thread;
        if (row.loopPeer) {
            thread = std::jthread([&] {
                EXPECT_TRUE(loop.handshake().ok());
                loop.echo();
                loop.socket.close();
            });
        } else {
            peer.next_layer() = std::move(loop.socket);
            asio::co_spawn(io, echoAsync(peer), rethrow);
        }
        const auto run = [&](auto&& tested) {
            asio::co_spawn(io, sendAndEchoBack(tested, sizes), rethrow);
            io.run();
        };
        const vn::Context& testedContext = row.testedIsClient ? clientContext : serverContext;
        if (row.trickle) {
            run(vn::asio::stream<Trickle>(Trickle{std::move(testedSocket)}, testedContext,
                                          names[row.testedIsClient]));
        } else {
            run(vn::asio::stream<tcp::socket>(std::move(testedSocket), testedContext,
                                              names[row.testedIsClient]));
        }
    }
}

// What a LoopPeer sends after the handshake, all in one write, before it
// closes: two good records, then the third as the row says. The side under
// test uses the adapter's blocking calls.
struct Ending {
    const char* name;
    std::size_t readSize;  // the tested side's read buffer
    int cut;               // 0: no third record; >0: its first cut bytes; <0: one byte changed
    std::error_code expected;
};

TEST_F(AsioStream, HandsOutGoodRecordsBeforeTheFailureAfterThem) {
    const Ending ROWS[] = {
        {"a record that does not open", 64, -1, vn::asio::make_error_code(vn::Result(19))},
        {"closed inside a record", 3, 10, vn::asio::error::stream_truncated},
        {"closed between records", 65536, 0, asio::error::eof},
    };
    const std::string good = "first record, second record";
    const auto bytes = [&](std::size_t from, std::size_t to) {
        return std::span(reinterpret_cast<const uint8_t*>(good.data()) + from, to - from);
    };
    for (const Ending& row : ROWS) {
        SCOPED_TRACE(row.name);
        auto [serverContext, clientContext] = contexts(VC_CIPHER_RC4_128, false);
        asio::io_context io;
        auto [testedSocket, peerSocket] = socketPair(io);
        LoopPeer peer{std::move(peerSocket), vn::Connection::create(serverContext, nullptr).value};
        std::jthread server([&] {
            ASSERT_TRUE(peer.handshake().ok());
            Bytes wire =
                vctest::concat({peer.seal(bytes(0, 13)), peer.seal(bytes(13, good.size()))});
            const Bytes third = peer.seal(bytes(0, 5));
            wire.insert(wire.end(), third.begin(),
                        row.cut > 0 ? third.begin() + row.cut : third.end());
            wire.back() ^= row.cut < 0 ? 1 : 0;
            asio::write(peer.socket,
                        asio::buffer(wire, wire.size() - (row.cut == 0 ? third.size() : 0)));
            peer.socket.close();
        });
        vn::asio::stream<tcp::socket> tested(std::move(testedSocket), clientContext,
                                             "server.example");
        tested.handshake();
        std::string got;
        std::vector<char> buffer(row.readSize);
        std::error_code ec;
        while (!ec) {
            got.append(buffer.data(), tested.read_some(asio::buffer(buffer), ec));
        }
        EXPECT_EQ(ec, row.expected) << ec.message();
        EXPECT_EQ(got, good);
        // It lasts: the library has ended the connection, or the stream has.
        EXPECT_EQ(tested.read_some(asio::buffer(buffer), ec), 0u);
        EXPECT_EQ(ec, row.expected);
        if (row.cut < 0) {
            EXPECT_EQ(tested.write_some(asio::buffer(good), ec), 0u);
            EXPECT_EQ(ec, vn::asio::make_error_code(vn::Result(VC_NO_CONNECTION)));
        }
    }
}

// A server that never answers the hello, then a peer that is silent after
// the handshake: the host's timer cancels the wait, and a read started
// again gets what the peer sends later.
TEST_F(AsioStream, HostTimerCancelsAWaitForASilentPeer) {
    auto [serverContext, clientContext] = contexts(VC_CIPHER_DES_EDE3_CBC, false);
    asio::io_context io;
    auto [mute, muteServer] = socketPair(io);
    auto [testedSocket, peerSocket] = socketPair(io);
    vn::asio::stream<tcp::socket> unanswered(std::move(mute), clientContext, "server.example");
    vn::asio::stream<tcp::socket> tested(std::move(testedSocket), clientContext, "server.example");
    LoopPeer peer{std::move(peerSocket), vn::Connection::create(serverContext, nullptr).value};
    std::promise<void> cancelled;
    std::jthread server([&] {
        ASSERT_TRUE(peer.handshake().ok());
        cancelled.get_future().wait();
        asio::write(peer.socket, asio::buffer(peer.seal(Bytes{'l', 'a', 't', 'e'})));
    });
    asio::steady_timer timer(io);
    const auto cancelSoon = [&](auto& stream) {
        timer.expires_after(std::chrono::milliseconds(50));
        timer.async_wait([&stream](std::error_code) { stream.next_layer().cancel(); });
    };
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            cancelSoon(unanswered);
            const auto [handshake] = co_await unanswered.async_handshake(AS_TUPLE);
            EXPECT_EQ(handshake, asio::error::operation_aborted);
            co_await tested.async_handshake(asio::use_awaitable);
            cancelSoon(tested);
            std::array<char, 16> buffer;
            const auto [ec, n] = co_await tested.async_read_some(asio::buffer(buffer), AS_TUPLE);
            EXPECT_EQ(ec, asio::error::operation_aborted);
            cancelled.set_value();
            co_await asio::async_read(tested, asio::buffer(buffer.data(), 4), asio::use_awaitable);
            EXPECT_EQ(std::string(buffer.data(), 4), "late");
        },
        rethrow);
    io.run();
}

}  // namespace
