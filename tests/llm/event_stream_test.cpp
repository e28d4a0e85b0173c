// The event-stream chunks the chat route writes itself, byte for byte. (The reply they go in is
// checked over the wire by the chat relay test.)
#include "server/llm/event_stream.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace klarion {
namespace {

TEST(CannedChunks, HaveTheirExactBytesAndGoInOneWrite) {
    const std::string head = R"(data: {"choices":[{"delta":{"content":")", tail = "\"}}]}\n\ndata: [DONE]\n\n";
    struct CountingWriter : MemoryBodyWriter {
        int writes = 0;
        void writeBytes(ByteSpan b) override { ++writes, MemoryBodyWriter::writeBytes(b); }
    };
    struct GoneWriter : HttpResponseBodyWriter {
        void writeFile(File&) override { throw std::runtime_error("gone"); }
        void writeBytes(ByteSpan) override { throw std::runtime_error("gone"); }
    };
    const struct {
        std::string_view (*bytes)();
        void (*write)(HttpResponseBodyWriter&);  // none for the error chunk, written by the relay
        std::string text;                        // inside the JSON string
    } cases[] = {
        {sseAiPausedBytes, sseAiPaused,
         "\\n\\n⏸️ **IA en pause :** Votre enseignant a temporairement suspendu l'IA. Veuillez lever les yeux vers "
         "le tableau !"},
        {sseRequestInProgressBytes, sseRequestInProgress, "⏳ **Patience !** Tu as déjà une requête en cours."},
        {sseEmptyMessageBytes, sseEmptyMessage, "⚠️ Message vide ou invalide."},
        {sseInternalErrorBytes, sseInternalError, "⚠️ Erreur interne."},
        {proxyErrorChunkBytes, nullptr,
         "\\n\\n⚠️ **Erreur Proxy :** Le serveur IA (LM Studio) est inaccessible. Veuillez prévenir votre "
         "enseignant."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(std::string(c.bytes()), head + c.text + tail);
        if (!c.write) continue;
        CountingWriter writer;
        c.write(writer);
        EXPECT_EQ(writer.writes, 1);
        EXPECT_EQ(writer.text(), std::string(c.bytes()));
        GoneWriter gone;  // a student who left is no failure
        EXPECT_NO_THROW(c.write(gone));
    }
}

}  // namespace
}  // namespace klarion
