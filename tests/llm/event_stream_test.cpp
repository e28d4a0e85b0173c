#include "server/llm/event_stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "platform/json.h"

namespace klarion {
namespace {

struct ChunkCase {
    const char* what;
    std::function<std::string_view()> bytes;
    std::string expected;
    std::size_t size;
    std::string decoded;  // the content the page shows
};
void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.what; }

const std::string kHead = R"(data: {"choices":[{"delta":{"content":")";
const std::string kTail = "\"}}]}\n\ndata: [DONE]\n\n";

class CannedChunk : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(CannedChunk, HasItsExactBytes) {
    const ChunkCase& c = GetParam();
    EXPECT_EQ(std::string(c.bytes()), c.expected);
    EXPECT_EQ(c.bytes().size(), c.size);
}

TEST_P(CannedChunk, IsOneEventTheStudentPageCanRead) {
    const ChunkCase& c = GetParam();
    const std::string bytes(c.bytes());
    ASSERT_EQ(bytes.rfind("data: ", 0), 0u);
    const std::size_t end = bytes.find("\n\n");
    ASSERT_NE(end, std::string::npos);
    const auto event = parseJsonObject(bytes.substr(6, end - 6));
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["choices"][0]["delta"]["content"].get<std::string>(), c.decoded);
    EXPECT_EQ(bytes.substr(end), "\n\ndata: [DONE]\n\n");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CannedChunk,
    ::testing::Values(
        ChunkCase{"ai paused", sseAiPausedBytes,
                  kHead +
                      "\\n\\n⏸️ **IA en pause :** Votre enseignant a temporairement suspendu l'IA. Veuillez lever "
                      "les yeux vers le tableau !" +
                      kTail,
                  179,
                  "\n\n⏸️ **IA en pause :** Votre enseignant a temporairement suspendu l'IA. Veuillez lever les yeux "
                  "vers le tableau !"},
        ChunkCase{"request in progress", sseRequestInProgressBytes,
                  kHead + "⏳ **Patience !** Tu as déjà une requête en cours." + kTail, 114,
                  "⏳ **Patience !** Tu as déjà une requête en cours."},
        ChunkCase{"empty message", sseEmptyMessageBytes,
                  kHead + "⚠️ Message vide ou invalide." + kTail, 92, "⚠️ Message vide ou invalide."},
        ChunkCase{"internal error", sseInternalErrorBytes,
                  kHead + "⚠️ Erreur interne." + kTail, 82, "⚠️ Erreur interne."},
        ChunkCase{"proxy error", proxyErrorChunkBytes,
                  kHead +
                      "\\n\\n⚠️ **Erreur Proxy :** Le serveur IA (LM Studio) est inaccessible. Veuillez prévenir "
                      "votre enseignant." +
                      kTail,
                  170,
                  "\n\n⚠️ **Erreur Proxy :** Le serveur IA (LM Studio) est inaccessible. Veuillez prévenir votre "
                  "enseignant."}));

TEST(CannedChunkWriters, SendTheirChunkInOneWrite) {
    struct CountingWriter : MemoryBodyWriter {
        int writes = 0;
        void writeBytes(ByteSpan b) override {
            ++writes;
            MemoryBodyWriter::writeBytes(b);
        }
    };
    const std::vector<std::pair<void (*)(HttpResponseBodyWriter&), std::string_view (*)()>> writers = {
        {sseAiPaused, sseAiPausedBytes},
        {sseRequestInProgress, sseRequestInProgressBytes},
        {sseEmptyMessage, sseEmptyMessageBytes},
        {sseInternalError, sseInternalErrorBytes}};
    for (const auto& [write, bytes] : writers) {
        CountingWriter writer;
        write(writer);
        EXPECT_EQ(writer.writes, 1);
        EXPECT_EQ(writer.text(), std::string(bytes()));
    }
}

TEST(CannedChunkWriters, IgnoreAClientThatLeft) {
    struct GoneWriter : HttpResponseBodyWriter {
        void writeFile(File&) override { throw std::runtime_error("gone"); }
        void writeBytes(ByteSpan) override { throw std::runtime_error("gone"); }
    } gone;
    EXPECT_NO_THROW(sseAiPaused(gone));
    EXPECT_NO_THROW(sseRequestInProgress(gone));
    EXPECT_NO_THROW(sseEmptyMessage(gone));
    EXPECT_NO_THROW(sseInternalError(gone));
    EXPECT_FALSE(writeIgnoringFailure(gone, "x"));
}

TEST(EventStreamReply, IsARawOkWithOnlyTheContentTypeAndNoLength) {
    const HttpResponse reply = cannedEventStream(sseEmptyMessageBytes());
    EXPECT_EQ(reply.kind(), HttpResponse::Kind::raw);
    EXPECT_EQ(reply.statusCode(), 200);
    EXPECT_EQ(reply.reasonPhrase(), "OK");
    const HttpHeaders headers = reply.headers();
    EXPECT_EQ(headers.at("Content-Type"), "text/event-stream");
    EXPECT_EQ(headers.count("Content-Length"), 0u);
    EXPECT_EQ(reply.content().length, -1);
    const std::string wire = renderResponse(reply);
    EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4), std::string(sseEmptyMessageBytes()));
}

}  // namespace
}  // namespace klarion
