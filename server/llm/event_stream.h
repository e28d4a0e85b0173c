// The event-stream chunks the chat route writes itself: the four canned
// replies and the proxy's error chunk, plus the reply form every answer of the
// chat route takes (status 200, "Content-Type: text/event-stream", a body
// writer, no length).
//
// A chunk is the bytes
//   data: {"choices":[{"delta":{"content":"TEXT"}}]}\n\ndata: [DONE]\n\n
// where TEXT stands inside a JSON string (so "\n" in it is the two-character
// escape, a line break for the page once decoded).
#pragma once

#include <string>
#include <string_view>

#include "http/core/response.h"

namespace klarion {

// The chunk for TEXT, already written as the inside of a JSON string.
std::string eventStreamChunk(std::string_view jsonEscapedText);

// The fixed chunks, as UTF-8 bytes.
std::string_view sseAiPausedBytes();           // the teacher paused the AI
std::string_view sseRequestInProgressBytes();  // the address already has 2 streams
std::string_view sseEmptyMessageBytes();       // unreadable body or blank message
std::string_view sseInternalErrorBytes();      // the LM Studio request cannot be serialised
std::string_view proxyErrorChunkBytes();       // LM Studio unreachable or failing

// Canned writers: one write of the chunk; a failed write (the client gone) is ignored.
void sseAiPaused(HttpResponseBodyWriter& writer);
void sseRequestInProgress(HttpResponseBodyWriter& writer);
void sseEmptyMessage(HttpResponseBodyWriter& writer);
void sseInternalError(HttpResponseBodyWriter& writer);

// Writes the bytes in one call, ignoring a write failure; true when written.
bool writeIgnoringFailure(HttpResponseBodyWriter& writer, std::string_view bytes);

// The reply form of the chat route: raw 200 "OK", the one header
// "Content-Type: text/event-stream", and `writer` as the body.
HttpResponse eventStreamResponse(HttpBodyWriterFn writer);
// An event-stream reply whose body is one canned chunk.
HttpResponse cannedEventStream(std::string_view chunk);

}  // namespace klarion
