#include "server/api/live_data_routes.h"

#include <algorithm>
#include <vector>

#include "app/state/student_display_name.h"
#include "server/api/replies.h"
#include "server/api/route_gate.h"

namespace klarion {

namespace {

constexpr std::string_view kAckReply = R"({"success":true})";

// Alert ids travel as upper-case UUID text.
std::string upperCaseId(std::string id) {
    for (char& c : id) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return id;
}

}  // namespace

Json keywordsJson(const WordFrequency& words) {
    std::vector<std::pair<std::string, int64_t>> entries(words.begin(), words.end());
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (entries.size() > kKeywordsShown) entries.resize(kKeywordsShown);
    Json list = Json::array();
    for (const auto& [word, count] : entries) {
        Json entry = Json::object();
        entry["text"] = word;
        entry["size"] = count;
        list.push_back(std::move(entry));
    }
    return list;
}

Json studentEntry(const std::string& address, const ConnectedStudents& students) {
    Json entry = Json::object();
    entry["name"] = studentDisplayName(address, students);
    entry["ip"] = address;
    return entry;
}

Json studentsJson(const ConnectedStudents& students) {
    Json list = Json::array();
    for (const auto& [address, name] : students) list.push_back(studentEntry(address, students));
    return list;
}

Json liveFeedJson(const std::vector<LiveQuestion>& questions) {
    Json list = Json::array();
    const size_t shown = std::min(questions.size(), kLiveFeedShown);
    for (size_t i = 0; i < shown; ++i) {
        const LiveQuestion& question = questions[questions.size() - 1 - i];
        Json entry = Json::object();
        entry["name"] = question.displayName;
        entry["text"] = question.text;
        entry["time"] = question.time;
        list.push_back(std::move(entry));
    }
    return list;
}

Json safetyAlertEntry(const SafetyAlert& alert) {
    Json entry = Json::object();
    entry["id"] = upperCaseId(alert.id);
    entry["name"] = alert.displayName;
    entry["text"] = alert.text;
    entry["reason"] = alert.reason;
    entry["level"] = toString(alert.level);
    entry["time"] = alert.time;
    entry["ack"] = alert.acknowledged;
    return entry;
}

Json safetyAlertsJson(const std::vector<SafetyAlert>& alerts) {
    Json list = Json::array();
    for (auto it = alerts.rbegin(); it != alerts.rend(); ++it) {
        if (it->level != SafetyAlertLevel::dismissed) list.push_back(safetyAlertEntry(*it));
    }
    return list;
}

namespace {

// A list route of the dashboard: the PIN of any teacher, then the list as it
// stands now.
template <class Read>
HttpResponse teacherListReply(const ClassroomContext& context, HttpRequest& request, Read read) {
    if (!authorizedTeacherBody(context, request, PinRule::anyTeacher)) return HttpResponse::unauthorized();
    return jsonReply(read(context.config()));
}

}  // namespace

HttpResponse handleKeywords(const ClassroomContext& context, HttpRequest& request) {
    return teacherListReply(context, request, [](const AppConfig& c) { return keywordsJson(c.wordFrequency()); });
}

HttpResponse handleStudents(const ClassroomContext& context, HttpRequest& request) {
    return teacherListReply(context, request, [](const AppConfig& c) { return studentsJson(c.connectedStudents()); });
}

HttpResponse handleLiveFeed(const ClassroomContext& context, HttpRequest& request) {
    return teacherListReply(context, request, [](const AppConfig& c) { return liveFeedJson(c.liveQuestions()); });
}

HttpResponse handleSafetyAlerts(const ClassroomContext& context, HttpRequest& request) {
    return teacherListReply(context, request, [](const AppConfig& c) { return safetyAlertsJson(c.safetyAlerts()); });
}

HttpResponse handleAckAlert(const ClassroomContext& context, HttpRequest& request) {
    const auto body = nonEmptyJsonObject(request);
    if (!body) return HttpResponse::unauthorized();
    // The id is required before the PIN is looked at.
    auto id = readString(*body, "id");
    if (!id) return HttpResponse::unauthorized();
    if (!context.authorizeTeacher(request, &*body, PinRule::anyTeacher)) return HttpResponse::unauthorized();
    context.post([config = context.state.config, id = std::move(*id)] { acknowledgeAlert(*config, id); });
    return jsonTextReply(kAckReply);
}

void acknowledgeAlert(AppConfig& config, const std::string& id) {
    auto alerts = config.safetyAlerts();
    for (auto& alert : alerts) {
        if (upperCaseId(alert.id) == id) {
            alert.acknowledged = true;
            config.setSafetyAlerts(std::move(alerts));
            return;
        }
    }
}

}  // namespace klarion
