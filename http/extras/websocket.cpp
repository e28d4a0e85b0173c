#include "http/extras/websocket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>
#include <utility>

#include "http/core/base64.h"
#include "http/core/bytes.h"
#include "http/core/limits.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "http/core/sha1.h"
#include "http/core/text_utils.h"

namespace klarion {

namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// Frames up to this size go out in one write with their header.
constexpr std::size_t kCoalescedPayload = 4096;

// One whole line on standard output, also when several sessions print at once.
void printLine(const std::string& line) { std::cout << (line + "\n") << std::flush; }

std::string headerOrUnknown(const HttpRequest& request, const std::string& name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? "unknown" : it->second;
}

HttpResponse refuse(const std::string& header, const std::string& value) {
    return HttpResponse::badRequest(HttpResponseBody::text("Invalid value of '" + header + "' header: " + value));
}

}  // namespace

std::optional<OpCode> opCodeFromRaw(std::uint8_t raw) {
    switch (raw) {
        case 0x0: return OpCode::continue_;
        case 0x1: return OpCode::text;
        case 0x2: return OpCode::binary;
        case 0x8: return OpCode::close;
        case 0x9: return OpCode::ping;
        case 0xA: return OpCode::pong;
        default: return std::nullopt;
    }
}

bool isControl(OpCode op) { return op == OpCode::close || op == OpCode::ping || op == OpCode::pong; }

const char* WsError::kindName(Kind kind) {
    switch (kind) {
        case Kind::unknownOpCode: return "unknownOpCode";
        case Kind::unMaskedFrame: return "unMaskedFrame";
        case Kind::protocolError: return "protocolError";
        case Kind::invalidUTF8: return "invalidUTF8";
    }
    return "unknown";
}

WsError::WsError(Kind kind, std::string message) : KindedError(kind, message, callForm(kindName(kind), message)) {}

// ---- session and frame codec ----

WebSocketSession::WebSocketSession(std::shared_ptr<Socket> socket, std::size_t maxMessageBytes)
    : socket_(std::move(socket)), maxMessageBytes_(maxMessageBytes) {
    socket_->setShutdownNotice([this] { goingAway(); });
}

WebSocketSession::~WebSocketSession() {
    socket_->setShutdownNotice(nullptr);  // waits for one that is running
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (closeSent_ || socket_->isClosed()) {
            socket_->close();
            return;
        }
    }
    writeCloseFrame();
    closeSocket();
}

bool WebSocketSession::operator==(const WebSocketSession& other) const {
    return socket_->socketFileDescriptor == other.socket_->socketFileDescriptor;
}

void WebSocketSession::writeText(std::string_view text) { writeFrame(asBytes(text), OpCode::text, true); }

void WebSocketSession::writeBinary(const Bytes& bytes) { writeFrame(bytes, OpCode::binary, true); }

void WebSocketSession::writeBinary(ByteSpan bytes) { writeFrame(bytes, OpCode::binary, true); }

void WebSocketSession::writeCloseFrame() { writeFrame({}, OpCode::close, true); }

void WebSocketSession::writeFrame(ByteSpan data, OpCode op, bool fin) {
    std::uint8_t frame[10 + kCoalescedPayload];
    std::size_t head = 0;
    frame[head++] = static_cast<std::uint8_t>((fin ? 0x80 : 0x00) | static_cast<std::uint8_t>(op));
    const std::uint64_t n = data.size();
    if (n <= 125) {
        frame[head++] = static_cast<std::uint8_t>(n);
    } else if ((n >> 16) == 0) {
        frame[head++] = 0x7E;
        frame[head++] = static_cast<std::uint8_t>(n >> 8);
        frame[head++] = static_cast<std::uint8_t>(n);
    } else {
        frame[head++] = 0x7F;
        for (int shift = 56; shift >= 0; shift -= 8) frame[head++] = static_cast<std::uint8_t>(n >> shift);
    }

    std::lock_guard<std::mutex> lock(writeMutex_);
    if (socket_->isClosed()) {
        // The descriptor number may already serve another connection.
        printLine(SocketError(SocketError::Kind::writeFailed, std::strerror(EBADF)).what());
        return;
    }
    if (closeSent_) return;  // nothing follows a close frame
    if (op == OpCode::close) closeSent_ = true;
    try {
        if (n <= kCoalescedPayload) {
            if (n > 0) std::memcpy(frame + head, data.data(), n);
            socket_->writeBuffer(frame, head + n);
        } else {
            socket_->writeBuffer(frame, head);
            socket_->writeBuffer(data.data(), n);
        }
    } catch (const SocketError& error) {
        printLine(error.what());
    }
}

void WebSocketSession::goingAway() {
    // Runs under the socket's lock, from the thread stopping the server: it
    // waits for a frame being written only briefly (one whose client does not
    // read may hold the write lock for the send time-out), and never for room
    // in the socket's buffer.
    std::unique_lock<std::mutex> lock(writeMutex_, std::try_to_lock);
    for (int waited = 0; !lock.owns_lock() && waited < 100; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.try_lock();
    }
    if (!lock.owns_lock() || closeSent_) return;
    static constexpr std::uint8_t kGoingAway[] = {0x88, 0x02, 0x03, 0xE9};  // close, status 1001
    if (::send(socket_->fd(), kGoingAway, sizeof(kGoingAway), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) closeSent_ = true;
}

Frame WebSocketSession::readFrame() { return readFrame(maxMessageBytes_); }

Frame WebSocketSession::readFrame(std::size_t maxPayload) {
    FrameHead head = readFrameHead(maxPayload);
    readPayload(head, &head.frame.payload);
    return std::move(head.frame);
}

WebSocketSession::FrameHead WebSocketSession::readFrameHead(std::size_t maxPayload) {
    Socket& in = *socket_;
    FrameHead head;
    Frame& frame = head.frame;
    const std::uint8_t first = in.read();
    frame.fin = (first & 0x80) != 0;
    frame.rsv1 = first & 0x40;
    frame.rsv2 = first & 0x20;
    frame.rsv3 = first & 0x10;
    if (first & 0x70) throw WsError(WsError::Kind::protocolError, "Reserved frame bit has not been negociated.");
    const auto op = opCodeFromRaw(first & 0x0F);
    if (!op) throw WsError(WsError::Kind::unknownOpCode, std::to_string(first & 0x0F));
    if (!frame.fin && isControl(*op)) {
        throw WsError(WsError::Kind::protocolError, "Control frames must not be fragmented.");
    }
    frame.opcode = *op;

    const std::uint8_t second = in.read();
    if (!(second & 0x80)) {
        throw WsError(WsError::Kind::unMaskedFrame, "A client must mask all frames that it sends to the server.");
    }
    std::uint64_t length = second & 0x7F;
    if (length == 127) {
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | in.read();
    } else if (length == 126) {
        length = in.read();
        length = (length << 8) | in.read();
    }
    // Both bounds are checked before any payload byte is read or stored.
    if (isControl(*op) && length > 125) {
        throw WsError(WsError::Kind::protocolError, "Payload gretter than 125 octets.");
    }
    if (!isControl(*op) && length > maxPayload) {
        throw WsError(WsError::Kind::protocolError,
                      "Message longer than " + std::to_string(maxMessageBytes_) + " octets.");
    }
    head.length = static_cast<std::size_t>(length);
    for (auto& k : head.key) k = in.read();
    return head;
}

template <class Buffer>
void WebSocketSession::readPayload(const FrameHead& head, Buffer* out) {
    Socket& in = *socket_;
    const std::size_t n = head.length;
    std::uint8_t chunk[16 * 1024];
    for (std::size_t got = 0; got < n;) {
        // The buffer grows with the data rather than with the announced
        // length, until httplimits::bodyGrowthBytes have arrived; then the
        // rest is reserved at once (memory pages are only taken as data fills them).
        if (out && out->size() == out->capacity()) {
            const std::size_t left = n - got;
            const std::size_t step = got >= httplimits::bodyGrowthBytes
                                         ? left
                                         : std::min(left, std::max<std::size_t>(out->size(), sizeof(chunk)));
            out->reserve(out->size() + step);
        }
        const std::size_t room = out ? out->capacity() - out->size() : sizeof(chunk);
        const std::size_t r = in.readSome(chunk, std::min({sizeof(chunk), n - got, room}));
        if (r == 0) {
            errno = 0;
            throw SocketError(SocketError::Kind::recvFailed, Errno::description());
        }
        for (std::size_t i = 0; i < r; ++i) chunk[i] ^= head.key[(got + i) & 3];
        if (out) out->insert(out->end(), chunk, chunk + r);
        got += r;
    }
}

void WebSocketSession::closeSocket() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    socket_->close();
}

// ---- handshake ----

std::string webSocketAcceptKey(std::string_view key) {
    std::string text(key);
    text += kGuid;
    return toBase64(sha1(text));
}

HttpHandler websocket(WebSocketTextCallback text, WebSocketBinaryCallback binary, WebSocketBinaryCallback pong,
                      WebSocketSessionCallback connected, WebSocketSessionCallback disconnected,
                      std::size_t maxMessageBytes) {
    auto callbacks = std::make_shared<const WebSocketCallbacks>(WebSocketCallbacks{
        std::move(text), std::move(binary), std::move(pong), std::move(connected), std::move(disconnected)});
    return [callbacks, maxMessageBytes](HttpRequest& request) -> HttpResponse {
        if (!request.hasTokenForHeader("upgrade", "websocket")) {
            return refuse("Upgrade", headerOrUnknown(request, "upgrade"));
        }
        if (!request.hasTokenForHeader("connection", "upgrade")) {
            return refuse("Connection", headerOrUnknown(request, "connection"));
        }
        auto key = request.headers.find("sec-websocket-key");
        if (key == request.headers.end()) return refuse("Sec-Websocket-Key", "unknown");
        HttpHeaders headers{
            {"Upgrade", "WebSocket"},
            {"Connection", "Upgrade"},
            {"Sec-WebSocket-Accept", webSocketAcceptKey(key->second)},
        };
        return HttpResponse::switchProtocols(std::move(headers),
                                             [callbacks, maxMessageBytes](std::shared_ptr<Socket> socket) {
                                                 WebSocketSessionLoop::run(socket, *callbacks, maxMessageBytes);
                                             });
    };
}

// ---- session loop ----

void WebSocketSessionLoop::run(const std::shared_ptr<Socket>& socket, const WebSocketCallbacks& callbacks,
                               std::size_t maxMessageBytes) {
    auto session = std::make_shared<WebSocketSession>(socket, maxMessageBytes);
    WebSocketSessionLoop loop(session, callbacks, maxMessageBytes);
    bool fault = false;
    try {
        if (callbacks.connected) callbacks.connected(session);
        for (;;) loop.next();
    } catch (Control) {
    } catch (const WsError& error) {
        static constexpr const char* prefixes[] = {
            "Unknown Op Code: ", "Unmasked frame: ", "Protocol error: ", "Invalid UTF8 character: "};
        printLine(prefixes[static_cast<int>(error.kind())] + std::string(error.what()));
        fault = true;
    } catch (const std::exception& error) {
        printLine(std::string("Unkown error ") + error.what());
    } catch (...) {
        printLine("Unkown error");
    }
    session->writeCloseFrame();
    try {
        if (callbacks.disconnected) callbacks.disconnected(session);
    } catch (const std::exception& error) {
        printLine(std::string("Unkown error ") + error.what());
    } catch (...) {}
    // After a fault the client may still be sending (the rest of a message
    // over the limit): closing with its bytes unread would reset the
    // connection, and the client would lose the close frame.
    if (fault) socket->finishAndDrain(httplimits::refusalDrainTime);
    // Closed here, under the session's write lock, rather than by the server
    // afterwards: a callback that kept the session may write from another thread.
    session->closeSocket();
}

void WebSocketSessionLoop::next() {
    // A fragment may only fill what is left of its message's allowance.
    WebSocketSession::FrameHead head = session_->readFrameHead(maxMessageBytes_ - text_.size() - binary_.size());
    Frame& frame = head.frame;
    switch (frame.opcode) {
        case OpCode::close:
        case OpCode::ping:
        case OpCode::pong:
            session_->readPayload(head, &frame.payload);
            handleControlFrame(frame);
            return;
        case OpCode::continue_: {
            const OpCode kind = fragmentedOpCode_;
            if (kind == OpCode::close) {
                throw WsError(WsError::Kind::protocolError, "Continuation frame without a fragmented message.");
            }
            collect(kind, head);
            if (!frame.fin) return;
            fragmentedOpCode_ = OpCode::close;
            deliver(kind);
            return;
        }
        case OpCode::text:
        case OpCode::binary:
            // Fragments of one message never mix with another message's frames.
            if (fragmentedOpCode_ != OpCode::close) {
                throw WsError(WsError::Kind::protocolError,
                              "Continuing fragmented frame cannot have an operation code.");
            }
            collect(frame.opcode, head);
            if (frame.fin) {
                deliver(frame.opcode);
            } else {
                // The message is followed even when nobody takes it, so that its
                // continuation frames are recognised (and dropped with it).
                fragmentedOpCode_ = frame.opcode;
            }
            return;
    }
}

void WebSocketSessionLoop::handleControlFrame(Frame& frame) {
    switch (frame.opcode) {
        case OpCode::close: throw Control::close;
        case OpCode::ping:
            if (frame.payload.size() > 125) {
                throw WsError(WsError::Kind::protocolError, "Payload gretter than 125 octets.");
            }
            session_->writeFrame(frame.payload, OpCode::pong, true);
            return;
        case OpCode::pong:
            if (callbacks_.pong) callbacks_.pong(session_, frame.payload);
            return;
        default: return;
    }
}

void WebSocketSessionLoop::collect(OpCode kind, const WebSocketSession::FrameHead& head) {
    if (kind == OpCode::text) {
        session_->readPayload(head, callbacks_.text ? &text_ : nullptr);
    } else {
        session_->readPayload(head, callbacks_.binary ? &binary_ : nullptr);
    }
}

void WebSocketSessionLoop::deliver(OpCode kind) {
    if (kind == OpCode::binary) {
        Bytes message = std::exchange(binary_, Bytes());
        if (callbacks_.binary) callbacks_.binary(session_, message);
        return;
    }
    std::string message = std::exchange(text_, std::string());
    if (!callbacks_.text) return;
    // The whole payload must be UTF-8; a NUL byte is a character like any other.
    if (!textutil::isWellFormedUtf8(message)) throw WsError(WsError::Kind::invalidUTF8, "");
    callbacks_.text(session_, message);
}

}  // namespace klarion
