// veilcastnet_asio.hpp: a header-only adapter that runs a connection of the
// library over a stream of standalone asio (a TCP socket, or any other
// AsyncReadStream and AsyncWriteStream), in the shape of asio's own SSL
// stream. It moves the bytes the library asks for; every protocol decision
// is the library's, reached through veilcastnet.hpp.
//
//     veilcastnet::asio::stream<asio::ip::tcp::socket> s(std::move(socket), context, "name");
//     co_await s.async_handshake(asio::use_awaitable);
//     co_await asio::async_write(s, asio::buffer(data), asio::use_awaitable);
//     std::size_t n = co_await s.async_read_some(asio::buffer(space), asio::use_awaitable);
//
// The role is the context's: a client names the service it expects, a
// server gives no name. Any completion token works, and blocking handshake,
// read_some and write_some come with std::error_code& overloads and, for
// hosts that want them, overloads that throw asio's system_error. Nothing
// else throws: memory the adapter cannot get is reported as VC_NO_MEMORY.
//
// Errors. The library's results arrive as std::error_codes of category(),
// whose messages are the library's texts (vcErrorText). A peer that closes
// between records gives asio::error::eof; one that closes inside a record
// gives error::stream_truncated. A read hands out every byte the library
// has authenticated before it reports a failure: the failure waits for the
// next read. After a failed record (VC_DECRYPTION_FAILED) the library has
// ended the connection; after a failed or cancelled write, part of a record
// may be on the wire, so every later write reports the same error. A read
// cancelled while it waited for the next layer can be started again.
//
// Closing is the host's: the protocol has no closing message, so shutting
// down the sending side of the socket is what the peer reads as the end.
//
// Concurrency. The handshake runs alone; after it, one read and one write
// may be outstanding at once. The library lets one thread at a time use a
// connection, so every library call here holds the stream's lock: blocking
// read_some and write_some may run on two threads at once. Asynchronous
// operations follow asio's rule for a socket: one implicit or explicit
// strand.
//
// Memory. While it waits, a connection holds only this object (with a few
// bytes of input inside it) and the library's own connection. The input
// grows to the record in flight (at most 64 KiB) and is released once that
// record has been opened; the opened payload waits in a 64 KiB buffer when
// the host's buffer is smaller than the library's opening room, released
// once handed out; a write holds one sealed record until it is sent; the
// handshake holds its 32 KiB output buffer until it ends.
#ifndef VEILCASTNET_ASIO_HPP
#define VEILCASTNET_ASIO_HPP

#include <algorithm>
#include <asio/async_result.hpp>
#include <asio/buffer.hpp>
#include <asio/compose.hpp>
#include <asio/detail/throw_error.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include "veilcastnet.hpp"

namespace veilcastnet::asio {

// The category of the library's result codes, and of the adapter's own
// errors below: a code's message is the library's text for it.
class error_category : public std::error_category {
  public:
    const char* name() const noexcept override { return "veilcastnet"; }
    std::string message(int code) const override;
};

inline const std::error_category& category() noexcept {
    static const error_category instance;
    return instance;
}

// A library result as an error code; VC_OK is no error.
inline std::error_code make_error_code(Result result) noexcept {
    return {result.code(), category()};
}

namespace error {
// The adapter's own failures, numbered beyond the library's codes.
enum stream_errors {
    // The peer closed the stream in the middle of a message or record.
    stream_truncated = 256,
};

inline std::error_code make_error_code(stream_errors value) noexcept {
    return {static_cast<int>(value), category()};
}
}  // namespace error

inline std::string error_category::message(int code) const {
    return code == error::stream_truncated ? "stream truncated" : vcErrorText(code);
}

}  // namespace veilcastnet::asio

template <>
struct std::is_error_code_enum<veilcastnet::asio::error::stream_errors> : std::true_type {};

namespace veilcastnet::asio {

namespace detail {

// The received bytes not consumed yet. The first few live inside the
// stream, so a connection waiting for its peer holds no heap; a message or
// record that does not fit gets a heap buffer of its length, rounded up to
// whole pages so that one read can bring the start of the next record, and
// the buffer goes once nothing is left in it.
class InputBuffer {
  public:
    static constexpr std::size_t INLINE_SIZE = 64;
    static constexpr std::size_t GRAIN = 4096;

    uint8_t* data() noexcept { return heap_ ? heap_.get() : inline_; }
    std::size_t size() const noexcept { return length_; }
    std::span<uint8_t> pending() noexcept { return {data(), length_}; }
    ::asio::mutable_buffer room() noexcept { return {data() + length_, capacity() - length_}; }
    void resize(std::size_t length) noexcept { length_ = length; }
    void clear() noexcept {
        length_ = 0;
        heap_.reset();
    }
    void releaseIfEmpty() noexcept {
        if (length_ == 0) {
            heap_.reset();
        }
    }

    // Room for the whole message or record at the front (its 2-byte length
    // field says how long; 2 bytes while that is incomplete) and for at
    // least one byte more. False when no memory could be had.
    bool makeRoom() noexcept {
        std::size_t want = 2;
        if (length_ >= 2) {
            const uint8_t* bytes = data();
            want = 2 + (std::size_t{bytes[0]} << 8 | bytes[1]);
        }
        want = std::max(want, length_ + 1);
        if (want <= capacity()) {
            return true;
        }
        want = (want + GRAIN - 1) / GRAIN * GRAIN;
        std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[want]);
        if (!bigger) {
            return false;
        }
        std::memcpy(bigger.get(), data(), length_);
        heap_ = std::move(bigger);
        heapCapacity_ = want;
        return true;
    }

  private:
    std::size_t capacity() const noexcept { return heap_ ? heapCapacity_ : INLINE_SIZE; }

    std::unique_ptr<uint8_t[]> heap_;
    std::size_t heapCapacity_ = 0;
    std::size_t length_ = 0;
    uint8_t inline_[INLINE_SIZE];
};

// Copies bytes into a buffer sequence from offset on; the count copied.
template <typename Buffers>
std::size_t copyInto(const Buffers& buffers, std::size_t offset, const uint8_t* from,
                     std::size_t count) noexcept {
    std::size_t copied = 0;
    const auto end = ::asio::buffer_sequence_end(buffers);
    for (auto it = ::asio::buffer_sequence_begin(buffers); it != end && copied < count; ++it) {
        ::asio::mutable_buffer buffer(*it);
        if (offset >= buffer.size()) {
            offset -= buffer.size();
            continue;
        }
        buffer += offset;
        offset = 0;
        const std::size_t n = std::min(buffer.size(), count - copied);
        std::memcpy(buffer.data(), from + copied, n);
        copied += n;
    }
    return copied;
}

// The contiguous piece of a buffer sequence that starts at offset.
template <typename Buffers>
::asio::mutable_buffer pieceAt(const Buffers& buffers, std::size_t offset) noexcept {
    const auto end = ::asio::buffer_sequence_end(buffers);
    for (auto it = ::asio::buffer_sequence_begin(buffers); it != end; ++it) {
        ::asio::mutable_buffer buffer(*it);
        if (offset < buffer.size()) {
            return buffer + offset;
        }
        offset -= buffer.size();
    }
    return {};
}

// The first non-empty buffer of a sequence: one write seals from one piece.
template <typename Buffers>
::asio::const_buffer firstPiece(const Buffers& buffers) noexcept {
    const auto end = ::asio::buffer_sequence_end(buffers);
    for (auto it = ::asio::buffer_sequence_begin(buffers); it != end; ++it) {
        if (::asio::const_buffer buffer(*it); buffer.size() > 0) {
            return buffer;
        }
    }
    return {};
}

}  // namespace detail

template <typename NextLayer>
class stream {
  public:
    using next_layer_type = std::remove_reference_t<NextLayer>;
    using executor_type = typename next_layer_type::executor_type;

    // A client connection expecting serviceName as the server certificate's
    // commonName. arg makes the next layer (a socket, or what opens one).
    // userValue goes to the context's certificate callback, so that a host
    // with many connections on one context can tell whose certificate it is
    // (a server passes a null serviceName to give one).
    template <typename Arg>
    stream(Arg&& arg, const Context& context, const char* serviceName, uint32_t userValue = 0)
        : next_(std::forward<Arg>(arg)) {
        auto [result, connection] = Connection::create(context, serviceName, userValue);
        created_ = result;
        connection_ = std::move(connection);
    }

    // A server connection. With a client context the handshake fails with
    // VC_NO_SERVICENAME.
    template <typename Arg>
    stream(Arg&& arg, const Context& context) : stream(std::forward<Arg>(arg), context, nullptr) {}

    // Only while no operation is outstanding.
    stream(stream&& other) noexcept(std::is_nothrow_move_constructible_v<NextLayer>)
        : next_(std::move(other.next_)),
          connection_(std::move(other.connection_)),
          created_(other.created_),
          input_(std::move(other.input_)),
          plain_(std::move(other.plain_)),
          plainStart_(other.plainStart_),
          plainEnd_(other.plainEnd_),
          readFailure_(other.readFailure_),
          writeFailure_(other.writeFailure_) {}
    stream& operator=(stream&&) = delete;

    executor_type get_executor() noexcept { return next_.get_executor(); }
    next_layer_type& next_layer() noexcept { return next_; }
    const next_layer_type& next_layer() const noexcept { return next_; }
    decltype(auto) lowest_layer() noexcept { return next_.lowest_layer(); }

    // The handshake, driven to its end; completes with no error once the
    // connection is established, or with the library's refusal, the next
    // layer's error, eof or stream_truncated.
    void handshake(std::error_code& ec) {
        std::unique_ptr<uint8_t[]> output;
        for (;;) {
            const HandshakeMove move = handshakeMove(output);
            if (move.action == HandshakeMove::Done) {
                ec = move.error;
                return;
            }
            if (move.action == HandshakeMove::Send) {
                ::asio::write(next_, ::asio::buffer(move.toSend.data(), move.toSend.size()), ec);
                if (ec) {
                    return;
                }
            } else {
                std::error_code socketError;
                const std::size_t got = next_.read_some(input_.room(), socketError);
                if ((ec = received(socketError, got))) {
                    return;
                }
            }
        }
    }
    void handshake() {
        std::error_code ec;
        handshake(ec);
        ::asio::detail::throw_error(ec, "handshake");
    }

    // Some authenticated bytes, at least one unless buffers are empty.
    template <typename MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers, std::error_code& ec) {
        for (;;) {
            const ReadMove move = readMove(buffers);
            if (move.done) {
                ec = move.error;
                return move.bytes;
            }
            std::error_code socketError;
            const std::size_t got = next_.read_some(input_.room(), socketError);
            if ((ec = received(socketError, got))) {
                return 0;
            }
        }
    }
    template <typename MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers) {
        std::error_code ec;
        const std::size_t n = read_some(buffers, ec);
        ::asio::detail::throw_error(ec, "read_some");
        return n;
    }

    // Seals as much of the first non-empty buffer as one record holds and
    // sends the record; the bytes taken. Nothing is sent for empty buffers.
    template <typename ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers, std::error_code& ec) {
        std::unique_ptr<uint8_t[]> record;
        const SealMove move = sealMove(buffers, record);
        if (move.done) {
            ec = move.error;
            return move.taken;
        }
        ::asio::write(next_, ::asio::buffer(move.record.data(), move.record.size()), ec);
        if (ec) {
            writeFailure_ = ec;
            return 0;
        }
        return move.taken;
    }
    template <typename ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers) {
        std::error_code ec;
        const std::size_t n = write_some(buffers, ec);
        ::asio::detail::throw_error(ec, "write_some");
        return n;
    }

    template <typename Token = ::asio::default_completion_token_t<executor_type>>
    auto async_handshake(Token&& token = ::asio::default_completion_token_t<executor_type>()) {
        return ::asio::async_compose<Token, void(std::error_code)>(HandshakeOp{this}, token, next_);
    }

    template <typename MutableBuffers,
              typename Token = ::asio::default_completion_token_t<executor_type>>
    auto async_read_some(const MutableBuffers& buffers,
                         Token&& token = ::asio::default_completion_token_t<executor_type>()) {
        return ::asio::async_compose<Token, void(std::error_code, std::size_t)>(
            ReadOp<MutableBuffers>{this, buffers}, token, next_);
    }

    template <typename ConstBuffers,
              typename Token = ::asio::default_completion_token_t<executor_type>>
    auto async_write_some(const ConstBuffers& buffers,
                          Token&& token = ::asio::default_completion_token_t<executor_type>()) {
        return ::asio::async_compose<Token, void(std::error_code, std::size_t)>(
            WriteOp<ConstBuffers>{this, buffers}, token, next_);
    }

  private:
    // The steps below decide what to do with what is buffered; the blocking
    // calls and the asynchronous operations only move the bytes they name.

    struct HandshakeMove {
        enum Action { Send, Read, Done } action;
        std::error_code error;
        std::span<const uint8_t> toSend;
    };

    HandshakeMove handshakeMove(std::unique_ptr<uint8_t[]>& output) {
        if (!created_.ok()) {
            return {HandshakeMove::Done, make_error_code(created_), {}};
        }
        if (!output) {
            output.reset(new (std::nothrow) uint8_t[HANDSHAKE_OUTPUT_SIZE]);
            if (!output) {
                return {HandshakeMove::Done, make_error_code(Result(VC_NO_MEMORY)), {}};
            }
        }
        const HandshakeStep step = [&] {
            std::lock_guard<std::mutex> lock(library_);
            return connection_.handshake(
                input_.pending(),
                std::span<uint8_t, HANDSHAKE_OUTPUT_SIZE>(output.get(), HANDSHAKE_OUTPUT_SIZE));
        }();
        input_.resize(step.inputLeft);
        switch (step.progress) {
            case Progress::Send:
                return {HandshakeMove::Send, {}, step.toSend};
            case Progress::NeedMore:
                if (!input_.makeRoom()) {
                    return {HandshakeMove::Done, make_error_code(Result(VC_NO_MEMORY)), {}};
                }
                return {HandshakeMove::Read, {}, {}};
            case Progress::Done:
                // Bytes left over are the peer's first records.
                input_.releaseIfEmpty();
                break;
            case Progress::Failed:
                input_.clear();
                break;
        }
        output.reset();
        return {HandshakeMove::Done,
                step.progress == Progress::Done ? std::error_code() : make_error_code(step.result),
                {}};
    }

    struct ReadMove {
        bool done;  // false: read more from the next layer into input_.room()
        std::error_code error;
        std::size_t bytes;
    };

    // Hands out opened payload, then opens records while there is room; a
    // failure after some bytes waits for the next read. The payload buffer
    // stays while part of a record is in; both go once all is handed out.
    template <typename Buffers>
    ReadMove readMove(const Buffers& buffers) {
        const std::size_t wanted = ::asio::buffer_size(buffers);
        std::size_t given = 0;
        std::error_code failure;
        while (given < wanted) {
            if (plainStart_ < plainEnd_) {
                const std::size_t n = detail::copyInto(buffers, given, plain_.get() + plainStart_,
                                                       plainEnd_ - plainStart_);
                plainStart_ += n;
                given += n;
                continue;
            }
            // Below 2 bytes there is no record to look at yet.
            if (readFailure_ || input_.size() < 2) {
                break;
            }
            // Straight into the host's buffer when it has the opening room.
            uint8_t* output = static_cast<uint8_t*>(detail::pieceAt(buffers, given).data());
            if (detail::pieceAt(buffers, given).size() < RECORD_PAYLOAD_MAX) {
                if (!plain_) {
                    plain_.reset(new (std::nothrow) uint8_t[RECORD_PAYLOAD_MAX]);
                }
                if (!plain_) {
                    failure = make_error_code(Result(VC_NO_MEMORY));
                    break;
                }
                output = plain_.get();
            }
            const Opened opened = [&] {
                std::lock_guard<std::mutex> lock(library_);
                return connection_.open(input_.pending(), std::span<uint8_t, RECORD_PAYLOAD_MAX>(
                                                              output, RECORD_PAYLOAD_MAX));
            }();
            if (opened.result == VC_RECEIVE_MORE_DATA) {
                break;
            }
            if (!opened.result.ok()) {
                failure = make_error_code(opened.result);
                if (opened.result == VC_DECRYPTION_FAILED) {
                    // The library has ended the connection: every later
                    // read reports it.
                    readFailure_ = failure;
                    input_.clear();
                }
                break;
            }
            input_.resize(opened.inputLeft);
            if (output == plain_.get()) {
                plainStart_ = 0;
                plainEnd_ = opened.payload.size();
            } else {
                given += opened.payload.size();
            }
        }
        if (plainStart_ == plainEnd_ && input_.size() == 0) {
            plain_.reset();
            input_.releaseIfEmpty();
        }
        if (given > 0 || wanted == 0) {
            return {true, {}, given};
        }
        if (failure || readFailure_) {
            return {true, failure ? failure : readFailure_, 0};
        }
        if (!input_.makeRoom()) {
            return {true, make_error_code(Result(VC_NO_MEMORY)), 0};
        }
        return {false, {}, 0};
    }

    // Takes what one read of the next layer brought. The stream's end is
    // eof between records and stream_truncated inside one, for every later
    // read too.
    std::error_code received(std::error_code ec, std::size_t got) {
        input_.resize(input_.size() + got);
        if (ec == ::asio::error::eof) {
            readFailure_ = input_.size() == 0 ? ec : make_error_code(error::stream_truncated);
            input_.clear();
            return readFailure_;
        }
        return ec;
    }

    struct SealMove {
        bool done;  // false: send record, then report taken
        std::error_code error;
        std::size_t taken;
        std::span<const uint8_t> record;
    };

    template <typename Buffers>
    SealMove sealMove(const Buffers& buffers, std::unique_ptr<uint8_t[]>& record) {
        if (writeFailure_) {
            return {true, writeFailure_, 0, {}};
        }
        const ::asio::const_buffer data = detail::firstPiece(buffers);
        if (data.size() == 0) {
            return {true, {}, 0, {}};
        }
        // N + RECORD_OVERHEAD_MAX bytes always take N.
        const std::size_t capacity = std::min(
            std::min(data.size(), RECORD_PAYLOAD_MAX) + RECORD_OVERHEAD_MAX, RECORD_SIZE_MAX);
        record.reset(new (std::nothrow) uint8_t[capacity]);
        if (!record) {
            return {true, make_error_code(Result(VC_NO_MEMORY)), 0, {}};
        }
        const Sealed sealed = [&] {
            std::lock_guard<std::mutex> lock(library_);
            return connection_.seal(
                std::span<const uint8_t>(static_cast<const uint8_t*>(data.data()), data.size()),
                std::span<uint8_t>(record.get(), capacity));
        }();
        if (!sealed.ok()) {
            record.reset();
            return {true, make_error_code(sealed.result), 0, {}};
        }
        return {false, {}, sealed.taken, sealed.record};
    }

    // The asynchronous operations. An operation that can finish at once
    // posts itself first, so that no handler runs inside its initiation.
    enum class Stage { Start, Sending, Reading, Finished };

    struct HandshakeOp {
        stream* self;
        std::unique_ptr<uint8_t[]> output = {};
        Stage stage = Stage::Start;
        std::error_code result = {};

        template <typename Self>
        void operator()(Self& op, std::error_code ec = {}, std::size_t got = 0) {
            if (stage == Stage::Finished) {
                op.complete(result);
                return;
            }
            if (stage == Stage::Reading) {
                ec = self->received(ec, got);
            }
            if (ec) {
                op.complete(ec);
                return;
            }
            const HandshakeMove move = self->handshakeMove(output);
            if (move.action == HandshakeMove::Done) {
                if (stage == Stage::Start) {
                    stage = Stage::Finished;
                    result = move.error;
                    ::asio::post(std::move(op));
                } else {
                    op.complete(move.error);
                }
            } else if (move.action == HandshakeMove::Send) {
                stage = Stage::Sending;
                ::asio::async_write(self->next_,
                                    ::asio::buffer(move.toSend.data(), move.toSend.size()),
                                    std::move(op));
            } else {
                stage = Stage::Reading;
                self->next_.async_read_some(self->input_.room(), std::move(op));
            }
        }
    };

    template <typename Buffers>
    struct ReadOp {
        stream* self;
        Buffers buffers;
        Stage stage = Stage::Start;
        std::error_code result = {};
        std::size_t bytes = 0;

        template <typename Self>
        void operator()(Self& op, std::error_code ec = {}, std::size_t got = 0) {
            if (stage == Stage::Finished) {
                op.complete(result, bytes);
                return;
            }
            if (stage == Stage::Reading && (ec = self->received(ec, got))) {
                op.complete(ec, 0);
                return;
            }
            const ReadMove move = self->readMove(buffers);
            if (!move.done) {
                stage = Stage::Reading;
                self->next_.async_read_some(self->input_.room(), std::move(op));
            } else if (stage == Stage::Start) {
                stage = Stage::Finished;
                result = move.error;
                bytes = move.bytes;
                ::asio::post(std::move(op));
            } else {
                op.complete(move.error, move.bytes);
            }
        }
    };

    template <typename Buffers>
    struct WriteOp {
        stream* self;
        Buffers buffers;
        std::unique_ptr<uint8_t[]> record = {};
        Stage stage = Stage::Start;
        std::error_code result = {};
        std::size_t taken = 0;

        template <typename Self>
        void operator()(Self& op, std::error_code ec = {}, std::size_t = 0) {
            if (stage == Stage::Sending) {
                record.reset();
                if (ec) {
                    self->writeFailure_ = ec;
                }
                op.complete(ec, ec ? 0 : taken);
                return;
            }
            if (stage == Stage::Finished) {
                op.complete(result, taken);
                return;
            }
            const SealMove move = self->sealMove(buffers, record);
            taken = move.taken;
            if (move.done) {
                stage = Stage::Finished;
                result = move.error;
                ::asio::post(std::move(op));
                return;
            }
            stage = Stage::Sending;
            ::asio::async_write(self->next_, ::asio::buffer(move.record.data(), move.record.size()),
                                std::move(op));
        }
    };

    NextLayer next_;
    Connection connection_;
    Result created_;
    // Held around every library call: one thread at a time per connection.
    std::mutex library_;
    // The read side's buffers and its lasting failure (the library ended
    // the connection, or the stream ended); the write side's failure.
    detail::InputBuffer input_;
    std::unique_ptr<uint8_t[]> plain_;
    std::size_t plainStart_ = 0;
    std::size_t plainEnd_ = 0;
    std::error_code readFailure_;
    std::error_code writeFailure_;
};

}  // namespace veilcastnet::asio

#endif  // VEILCASTNET_ASIO_HPP
