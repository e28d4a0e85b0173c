// WebSockets, server side (RFC 6455): the upgrade route handler, the session
// loop that runs on the connection's thread, and the session with its frame codec.
//
//     server.GET["/echo"] = websocket(
//         [](auto session, const std::string& text) { session->writeText(text); },
//         [](auto session, const Bytes& bytes) { session->writeBinary(bytes); });
//
// A session ends on a close frame, a protocol fault, a failed read or the
// server's stop: one line is printed for a fault, one close frame (empty
// payload; 1001 "going away" when the server stops) goes out, then
// `disconnected` runs. After a fault what the client still sends is read and
// dropped briefly before the close, so that it reads the close frame rather
// than a reset. Reads have no time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "http/core/bytes.h"
#include "http/core/router.h"
#include "http/core/socket.h"

namespace klarion {

// Frame operation codes. `continue` is a C++ keyword: the continuation is `continue_`.
enum class OpCode : std::uint8_t {
    continue_ = 0x0,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
    text = 0x1,
    binary = 0x2,
};

// The code for a raw four-bit value; none for 0x3-0x7 and 0xB-0xF.
std::optional<OpCode> opCodeFromRaw(std::uint8_t raw);
// close, ping and pong.
bool isControl(OpCode op);

// One decoded frame, payload unmasked. The reserved fields hold the bit's
// value in the first byte (0x40, 0x20, 0x10), not 1.
struct Frame {
    OpCode opcode = OpCode::close;
    bool fin = false;
    std::uint8_t rsv1 = 0;
    std::uint8_t rsv2 = 0;
    std::uint8_t rsv3 = 0;
    Bytes payload;
};

// Thrown by the session loop to end a session when the peer sends a close frame.
enum class Control { close };

enum class WsErrorKind { unknownOpCode, unMaskedFrame, protocolError, invalidUTF8 };

// Protocol faults; what() is the textual form, e.g. protocolError("...").
class WsError : public KindedError<WsErrorKind> {
public:
    WsError(Kind kind, std::string message);
    static const char* kindName(Kind kind);
};

// Frames and reassembled messages above this size end the session; the
// announced length is checked before anything is allocated.
inline constexpr std::size_t defaultWebSocketMessageLimit = std::size_t{16} << 20;

// One upgraded connection. Writes may come from any thread: one lock per
// session keeps frames whole. At most one close frame is ever sent, and
// nothing after it. Once the socket is closed a write prints
// writeFailed("Bad file descriptor") without touching the descriptor, whose
// number may belong to another connection by then. When the server shuts the
// socket down (it is stopping), the close frame goes out first with the
// status 1001 (going away), unless a frame being written holds the session
// longer than a tenth of a second (its client is not reading).
class WebSocketSession {
public:
    explicit WebSocketSession(std::shared_ptr<Socket> socket,
                              std::size_t maxMessageBytes = defaultWebSocketMessageLimit);
    // Sends the close frame unless one went out already, then closes the socket.
    virtual ~WebSocketSession();
    WebSocketSession(const WebSocketSession&) = delete;
    WebSocketSession& operator=(const WebSocketSession&) = delete;

    const std::shared_ptr<Socket>& socket() const { return socket_; }
    std::size_t maxMessageBytes() const { return maxMessageBytes_; }

    // Each sends one final frame. A failed write prints the socket error as one
    // line and is otherwise ignored: the caller cannot tell the frame was lost.
    virtual void writeText(std::string_view text);
    virtual void writeBinary(const Bytes& bytes);
    virtual void writeBinary(ByteSpan bytes);
    virtual void writeFrame(ByteSpan data, OpCode op, bool fin = true);
    // Opcode close, empty payload (0x88 0x00).
    virtual void writeCloseFrame();

    // The next client frame. Throws WsError for reserved bits, unknown opcodes,
    // fragmented or over-125-byte control frames, unmasked frames, and data
    // frames over maxMessageBytes(); passes on the socket's recvFailed.
    virtual Frame readFrame();
    // The same with a smaller bound for a data frame's payload (what is left of
    // a message's allowance).
    Frame readFrame(std::size_t maxPayload);

    // Closes the socket under the write lock: no write reaches the descriptor after it.
    void closeSocket();

    bool operator==(const WebSocketSession& other) const;
    std::size_t hashValue() const { return std::hash<int>()(socket_->socketFileDescriptor); }

private:
    friend class WebSocketSessionLoop;

    // A frame read up to its payload, which is read next, appended to the
    // buffer that collects its message (or dropped).
    struct FrameHead {
        Frame frame;  // payload still empty
        std::size_t length = 0;
        std::uint8_t key[4] = {};
    };
    FrameHead readFrameHead(std::size_t maxPayload);
    template <class Buffer>
    void readPayload(const FrameHead& head, Buffer* out);
    // The server is stopping: the close frame 1001, if it can go without waiting
    // on a stalled client.
    void goingAway();

    const std::shared_ptr<Socket> socket_;
    const std::size_t maxMessageBytes_;
    std::mutex writeMutex_;
    bool closeSent_ = false;
};

using WebSocketTextCallback = std::function<void(const std::shared_ptr<WebSocketSession>&, const std::string&)>;
using WebSocketBinaryCallback = std::function<void(const std::shared_ptr<WebSocketSession>&, const Bytes&)>;
using WebSocketSessionCallback = std::function<void(const std::shared_ptr<WebSocketSession>&)>;

// The callbacks of one route; an empty one is never called. `pong` gets each
// pong frame's payload; `connected` runs before the first read, `disconnected`
// once after the session's close frame. Callbacks of one connection run one at
// a time on its thread; those shared by several connections run concurrently.
struct WebSocketCallbacks {
    WebSocketTextCallback text;
    WebSocketBinaryCallback binary;
    WebSocketBinaryCallback pong;
    WebSocketSessionCallback connected;
    WebSocketSessionCallback disconnected;
};

// The route handler: checks the upgrade request and answers 101 with the
// accept key, or 400 with a text telling which header is wrong. The session
// then runs on the connection's thread until it ends.
HttpHandler websocket(WebSocketTextCallback text, WebSocketBinaryCallback binary, WebSocketBinaryCallback pong,
                      WebSocketSessionCallback connected = nullptr, WebSocketSessionCallback disconnected = nullptr,
                      std::size_t maxMessageBytes = defaultWebSocketMessageLimit);

// Sec-WebSocket-Accept for a Sec-WebSocket-Key (SHA-1 of key + GUID, Base64).
std::string webSocketAcceptKey(std::string_view key);

// One session from start to end; reassembles fragments, answers pings and
// dispatches to the callbacks. Never throws; closes the socket before returning.
class WebSocketSessionLoop {
public:
    static void run(const std::shared_ptr<Socket>& socket, const WebSocketCallbacks& callbacks,
                    std::size_t maxMessageBytes = defaultWebSocketMessageLimit);

private:
    WebSocketSessionLoop(std::shared_ptr<WebSocketSession> session, const WebSocketCallbacks& callbacks,
                         std::size_t maxMessageBytes)
        : session_(std::move(session)), callbacks_(callbacks), maxMessageBytes_(maxMessageBytes) {}
    // Reads and handles one frame.
    void next();
    void handleControlFrame(Frame& frame);
    // Reads a data frame's payload into its message's buffer, or drops it
    // when nobody takes that kind of message.
    void collect(OpCode kind, const WebSocketSession::FrameHead& head);
    void deliver(OpCode kind);

    std::shared_ptr<WebSocketSession> session_;
    const WebSocketCallbacks& callbacks_;
    const std::size_t maxMessageBytes_;
    // The kind of the fragmented message being received; close when none is open.
    OpCode fragmentedOpCode_ = OpCode::close;
    // The message being received: its frames' payloads are read straight into
    // it, and a text message reaches its callback as this very string.
    std::string text_;
    Bytes binary_;
};

}  // namespace klarion

template <>
struct std::hash<klarion::WebSocketSession> {
    std::size_t operator()(const klarion::WebSocketSession& s) const noexcept { return s.hashValue(); }
};
