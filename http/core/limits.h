// Every limit of the HTTP server, in one place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace klarion::httplimits {

// A request line longer than this is refused with 414.
inline constexpr std::size_t maxRequestLineBytes = 64 * 1024;
// A header line longer than this, or a header block larger than the next
// limit, is refused with 431.
inline constexpr std::size_t maxHeaderLineBytes = 64 * 1024;
inline constexpr std::size_t maxHeaderBytes = 256 * 1024;
// A body announced larger than this is refused with 413 and never read.
inline constexpr std::uint64_t maxBodyBytes = 64ull * 1024 * 1024;

// A body (or a WebSocket frame's payload) is received into a buffer that
// grows with the data up to this size; past it, the rest of its announced
// length is reserved at once. Memory pages are only taken as data fills them.
inline constexpr std::size_t bodyGrowthBytes = 1024 * 1024;

// A url-encoded form of more fields, or a multipart body of more parts and
// part header lines in all, reads as no form at all: a body of tiny items
// ("&&&&...") took some sixty times its size once parsed.
inline constexpr std::size_t maxFormItems = 100000;

// Bytes a connection reads ahead from its socket at a time.
inline constexpr std::size_t readAheadBytes = 8 * 1024;

// After a refusal for size the answer is sent, the sending side shut, and what
// the client still sends is read and dropped for this long (at most) before
// the close: closing with unread data would reset the connection and the
// client could lose the answer.
inline constexpr std::chrono::milliseconds refusalDrainTime{1000};

// Connections waiting to be accepted. A class connecting at once (a few
// hundred chats) overflowed a queue of 128, and a dropped connection attempt
// is only retried by the client a second later.
inline constexpr int listenBacklog = 1024;
// Client sockets: seconds without data before a read gives up, and blocked in
// one send before a write gives up. A protocol session's reads never time out.
inline constexpr int receiveTimeoutSeconds = 300;
inline constexpr int sendTimeoutSeconds = 60;

// A request head (request line and header fields) must arrive whole within
// this time of its first byte: a client that sends a byte now and then can
// no longer hold a connection thread for as long as it likes. The wait for
// that first byte is the receive time-out above.
inline constexpr std::chrono::seconds requestHeadTimeout{30};
// Connections one client address holds at once (a browser opens 6 to a host);
// a connection beyond them is answered 503 and closed at once. The server
// sets no limit on connections as a whole.
inline constexpr std::size_t connectionsPerAddress = 128;

// The soft limit of open descriptors is raised to the hard one, up to this.
inline constexpr std::uint64_t maxDescriptors = 65536;
// Pause of the accept loop when the process is out of descriptors or memory.
inline constexpr std::chrono::milliseconds acceptShortagePause{50};

// Connection threads are kept for the next connection: a thread whose
// connection ended waits in accept() again while fewer than this many wait
// there, and ends otherwise. A thread that takes a connection and leaves
// fewer than `spareConnectionThreads` waiting starts one more first.
inline constexpr std::size_t keptConnectionThreads = 16;
inline constexpr std::size_t spareConnectionThreads = 2;

}  // namespace klarion::httplimits
