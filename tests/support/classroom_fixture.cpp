#include "tests/support/classroom_fixture.h"

#include "platform/preferences.h"

namespace klarion::test {

TestContext::TestContext() {
    std::filesystem::create_directories(home.documents());
    auto preferences = std::make_shared<PreferenceStore>(home.home() / ".config/klarion/preferences.json");
    StateContext state;
    state.config = std::make_shared<AppConfig>(preferences);
    state.logger = std::make_shared<AppLogger>(queue, clock);
    state.logger->setEnabled(true);
    state.folder = ConfigFolder(home.documents());
    state.queue = queue;
    state.clock = clock;
    context = ClassroomContext::make(state);
    // No LM Studio: an address that forms no URL, so the gateway's routes send nothing.
    context->lmStudio = std::make_shared<const LmStudioClient>("no LM Studio in these tests");
}

TestContext::~TestContext() { queue->drain(); }

std::vector<std::string> TestContext::journal() {
    queue->drain();
    std::vector<std::string> messages;
    for (const auto& entry : context->state.logger->entries()) messages.push_back(entry.message);
    return messages;
}

std::string TestContext::pinBody(const std::string& extra) {
    return R"({"pin":")" + config().teacherPinCode() + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

void TestContext::establishment(bool aliceSession) {
    config().setAppMode("establishment");
    config().setTeachers({kAlice, kBruno});
    if (aliceSession) {
        config().setActiveTeacherId(kAlice.id);
        config().setActiveTeacherName(kAlice.name);
    }
}

RouteReply replyOf(const HttpResponse& response) {
    RouteReply reply;
    reply.status = response.statusCode();
    MemoryBodyWriter writer;
    auto content = response.content();
    if (content.writer) content.writer(writer);
    reply.body = writer.text();
    const auto headers = response.headers();
    if (auto it = headers.find("Content-Type"); it != headers.end()) reply.contentType = it->second;
    return reply;
}

HttpRequest postRequest(const std::string& body, std::optional<std::string> address) {
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/test";
    request.headers["content-type"] = "application/json";
    request.body = utf8Bytes(body);
    request.address = std::move(address);
    return request;
}

}  // namespace klarion::test
