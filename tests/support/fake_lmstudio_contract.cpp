// What the program may send to LM Studio, checked request by request.
#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/fake_lmstudio.h"

namespace klarion {

namespace {

using Json = nlohmann::json;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string typeName(const Json& v) {
    if (v.is_number_integer()) return "integer";
    if (v.is_number_float()) return "number";
    return v.type_name();
}

class Checker {
public:
    Checker(const MiniHttpRequest& req, std::vector<std::string>& out)
        : where_(req.method + " " + req.target + ": "), out_(out) {}

    void fail(const std::string& what) { out_.push_back(where_ + what); }

    void exactKeys(const Json& obj, const std::set<std::string>& required, const std::set<std::string>& optional,
                   const std::string& what) {
        for (const auto& key : required) {
            if (!obj.contains(key)) fail(what + " lacks the key \"" + key + "\"");
        }
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            if (!required.count(it.key()) && !optional.count(it.key())) {
                fail(what + " has the key \"" + it.key() + "\", which the program never sends");
            }
        }
    }

    void expectString(const Json& obj, const std::string& key, bool nonEmpty, const std::string& what) {
        if (!obj.contains(key)) return;
        const Json& v = obj[key];
        if (!v.is_string()) {
            fail(what + " \"" + key + "\" is " + typeName(v) + ", expected a string");
        } else if (nonEmpty && v.get_ref<const std::string&>().empty()) {
            fail(what + " \"" + key + "\" is an empty string");
        }
    }

    void expectNumber(const Json& obj, const std::string& key) {
        if (obj.contains(key) && !obj[key].is_number()) {
            fail("\"" + key + "\" is " + typeName(obj[key]) + ", expected a number");
        }
    }

    void expectInteger(const Json& obj, const std::string& key) {
        if (obj.contains(key) && !obj[key].is_number_integer()) {
            fail("\"" + key + "\" is " + typeName(obj[key]) + ", expected an integer");
        }
    }

    void checkChat(const Json& body) {
        if (!body.contains("stream") || !body["stream"].is_boolean()) {
            fail("\"stream\" is missing or not a boolean");
            return;
        }
        const bool streamed = body["stream"].get<bool>();
        if (streamed) {
            exactKeys(body,
                      {"messages", "stream", "temperature", "top_p", "frequency_penalty", "presence_penalty",
                       "max_tokens", "repeat_penalty"},
                      {"seed", "model"}, "the streamed chat request");
            for (const char* k : {"temperature", "top_p", "frequency_penalty", "presence_penalty", "repeat_penalty"}) {
                expectNumber(body, k);
            }
            expectInteger(body, "max_tokens");
            expectInteger(body, "seed");
            if (body.contains("model")) {
                expectString(body, "model", true, "the chat request's");
                if (body["model"].is_string()) {
                    const auto& m = body["model"].get_ref<const std::string&>();
                    if (!m.empty() && (std::isspace(static_cast<unsigned char>(m.front())) ||
                                       std::isspace(static_cast<unsigned char>(m.back())))) {
                        fail("\"model\" is not trimmed of white space");
                    }
                }
            }
        } else {
            exactKeys(body, {"messages", "stream", "temperature", "max_tokens"}, {},
                      "the chat request that is not streamed");
            expectNumber(body, "temperature");
            expectInteger(body, "max_tokens");
        }
        checkMessages(body, streamed);
    }

    void checkMessages(const Json& body, bool streamed) {
        if (!body.contains("messages")) return;
        const Json& msgs = body["messages"];
        if (!msgs.is_array() || msgs.empty()) {
            fail("\"messages\" is not a non-empty list");
            return;
        }
        if (!streamed && msgs.size() != 2) {
            fail("the chat request that is not streamed has " + std::to_string(msgs.size()) +
                 " messages, expected a system and a user message");
        }
        for (std::size_t i = 0; i < msgs.size(); ++i) {
            const Json& m = msgs[i];
            const std::string what = "message " + std::to_string(i);
            if (!m.is_object()) {
                fail(what + " is " + typeName(m) + ", expected an object");
                continue;
            }
            exactKeys(m, {"role", "content"}, {}, what);
            if (!m.contains("role") || !m["role"].is_string()) {
                fail(what + " has no string \"role\"");
                continue;
            }
            const auto& role = m["role"].get_ref<const std::string&>();
            const bool first = i == 0;
            const bool last = i + 1 == msgs.size();
            if (first && role != "system") fail(what + " has the role \"" + role + "\", expected \"system\"");
            if (last && role != "user") fail(what + " has the role \"" + role + "\", expected \"user\"");
            if (!first && !last && role != "user" && role != "assistant") {
                fail(what + " has the role \"" + role + "\", expected \"user\" or \"assistant\"");
            }
            if (!m.contains("content")) continue;
            const Json& c = m["content"];
            if (c.is_string()) continue;
            if (!c.is_array()) {
                fail(what + " has a \"content\" of type " + typeName(c) + ", expected a string or a list");
                continue;
            }
            if (first || !streamed) {
                fail(what + " has a list as \"content\", expected a string");
                continue;
            }
            if (!std::all_of(c.begin(), c.end(), [](const Json& p) { return p.is_object(); })) {
                fail(what + " has a \"content\" list holding something other than objects");
                continue;
            }
            if (last) checkImageContent(c, what);
        }
    }

    // The user's message with an image: an image part with a data URL, then a text part.
    void checkImageContent(const Json& parts, const std::string& what) {
        if (parts.size() != 2) {
            fail(what + " has " + std::to_string(parts.size()) + " content parts, expected an image and a text");
            return;
        }
        const Json& image = parts[0];
        exactKeys(image, {"type", "image_url"}, {}, what + " image part");
        if (image.value("type", Json()) != "image_url") fail(what + " first part's \"type\" is not \"image_url\"");
        if (image.contains("image_url")) {
            const Json& iu = image["image_url"];
            if (!iu.is_object()) {
                fail(what + " \"image_url\" is not an object");
            } else {
                exactKeys(iu, {"url"}, {}, what + " \"image_url\"");
                if (!iu.contains("url") || !iu["url"].is_string() ||
                    iu["url"].get_ref<const std::string&>().rfind("data:", 0) != 0) {
                    fail(what + " image \"url\" is not a data URL");
                }
            }
        }
        const Json& text = parts[1];
        exactKeys(text, {"type", "text"}, {}, what + " text part");
        if (text.value("type", Json()) != "text") fail(what + " second part's \"type\" is not \"text\"");
        expectString(text, "text", false, what + " text part's");
    }

private:
    std::string where_;
    std::vector<std::string>& out_;
};

const std::set<std::string> kGetPaths = {"/v1/models", "/api/v0/models", "/api/v1/models"};
const std::set<std::string> kPostPaths = {"/api/v1/models/load", "/api/v1/models/unload", "/v1/chat/completions"};

}  // namespace

std::vector<std::string> lmStudioContractViolations(const MiniHttpRequest& req) {
    std::vector<std::string> out;
    Checker check(req, out);
    if (req.version != "HTTP/1.1") check.fail("uses " + req.version + ", expected HTTP/1.1");
    if (req.headerCount("Host") != 1) {
        check.fail("has " + std::to_string(req.headerCount("Host")) + " Host headers, expected one");
    }
    for (const auto& [name, value] : req.headers) {
        const std::string n = lower(name);
        if (n == "expect") {
            check.fail("sends \"Expect: " + value + "\"");
        } else if (n != "host" && n != "content-length" && n != "content-type") {
            check.fail("sends the header \"" + name + ": " + value + "\", which the program never sets");
        }
    }
    if (!req.query.empty()) check.fail("has a query string");

    const bool isGet = req.method == "GET" && kGetPaths.count(req.path) > 0;
    const bool isPost = req.method == "POST" && kPostPaths.count(req.path) > 0;
    if (!isGet && !isPost) {
        check.fail("is not a request the program makes");
        return out;
    }
    if (isGet) {
        if (!req.body.empty()) check.fail("a GET with a body");
        if (req.header("Content-Type") != nullptr) check.fail("a GET with a Content-Type");
        return out;
    }

    const std::string* type = req.header("Content-Type");
    if (type == nullptr) {
        check.fail("no Content-Type");
    } else if (*type != "application/json" || req.headerCount("Content-Type") != 1) {
        check.fail("Content-Type is \"" + *type + "\", expected \"application/json\"");
    }
    if (req.header("Content-Length") == nullptr) check.fail("no Content-Length");
    Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
        check.fail("the body is not JSON");
        return out;
    }
    if (!body.is_object()) {
        check.fail("the body is " + typeName(body) + ", expected a JSON object");
        return out;
    }
    if (req.path == "/api/v1/models/load") {
        check.exactKeys(body, {"model"}, {}, "the load request");
        check.expectString(body, "model", true, "the load request's");
    } else if (req.path == "/api/v1/models/unload") {
        check.exactKeys(body, {"instance_id"}, {}, "the unload request");
        check.expectString(body, "instance_id", true, "the unload request's");
    } else {
        check.checkChat(body);
    }
    return out;
}

}  // namespace klarion
