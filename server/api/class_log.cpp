#include "server/api/class_log.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <mutex>

#include "app/state/student_display_name.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/text.h"
#include "server/api/replies.h"
#include "server/api/route_gate.h"

namespace klarion {

const std::array<std::string_view, 33> questionStopWords = {
    "pour",  "avec",    "dans",     "suis",  "êtes", "sont",   "cette", "ceux",    "celles", "nous", "vous",
    "elles", "comment", "pourquoi", "quand", "quel", "quelle", "quels", "quelles", "faire",  "tout", "tous",
    "très",  "bien",    "plus",     "moins", "fait", "être",   "avoir", "peux",    "veut",   "peut", "est-ce"};

namespace {

// Every append to a class log file, whatever the context, goes through here.
std::mutex classLogMutex;

std::string formatLocal(double secondsSince1970, const char* format) {
    const auto seconds = static_cast<time_t>(std::floor(secondsSince1970));
    tm local{};
    localtime_r(&seconds, &local);
    char buffer[64];
    const size_t size = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, size);
}

bool isStopWord(std::string_view word) {
    return std::find(questionStopWords.begin(), questionStopWords.end(), word) != questionStopWords.end();
}

}  // namespace

std::filesystem::path classLogFolder(const std::filesystem::path& documents, AppMode mode,
                                     const std::string& activeTeacherName) {
    std::filesystem::path folder = documents / "Klarion_Logs";
    if (mode == AppMode::establishment) {
        folder /= activeTeacherName.empty() ? std::string("_non_attribue") : makeSafeFileName(activeTeacherName);
    }
    return folder;
}

std::filesystem::path classLogFolder(const ClassroomContext& context) {
    const AppConfig& config = context.config();
    return classLogFolder(context.documentsFolder(), config.mode(), config.activeTeacherName());
}

std::string classLogFileName(double secondsSince1970) {
    return "Log_" + formatLocal(secondsSince1970, "%d-%m-%Y") + ".txt";
}

std::string classLogLine(double secondsSince1970, const std::string& name, const std::string& ip,
                         const std::string& text) {
    return "[" + formatLocal(secondsSince1970, "%H:%M:%S") + "] " + name + " (" + ip + "): " + text + "\n";
}

bool appendClassLog(const ClassroomContext& context, const std::string& type, const std::string& name,
                    const std::string& text, const std::string& ip) {
    const AppConfig& config = context.config();
    if (!config.isSupervisionActive()) return false;
    if (type == "answer" && supervisionLevelOf(config.supervisionLevel()) == SupervisionLevel::questions) return false;
    const auto folder = classLogFolder(context);
    ensureDirectory(folder);  // on failure the append below fails too

    std::lock_guard lock(classLogMutex);
    const double now = context.now();
    return appendToFile(folder / classLogFileName(now), classLogLine(now, name, ip, text));
}

std::vector<std::string> questionWords(std::string_view text) {
    std::vector<std::string> words;
    // Canonically equivalent spellings are one word ("é" precomposed or not).
    const std::string lowered = nfc(lowercased(text));
    // Every character that is not a letter or a mark cuts (spaces,
    // apostrophes, digits, hyphens...); a run of letters is one word whatever
    // its script.
    for (std::string& word : letterRuns(lowered)) {
        const size_t length = characterCount(word);
        if (length < 4 || length > kMaxCountedWordLength || isStopWord(word)) continue;
        words.push_back(std::move(word));
    }
    return words;
}

void countQuestionWords(const ClassroomContext& context, const std::string& text) {
    auto words = questionWords(text);
    if (words.empty()) return;
    context.post([config = context.state.config, words = std::move(words)] { addWordCounts(*config, words); });
}

void addWordCounts(AppConfig& config, const std::vector<std::string>& words) {
    WordFrequency table = config.wordFrequency();
    bool changed = false;
    for (const auto& word : words) {
        auto it = table.find(word);
        if (it == table.end()) {
            if (table.size() >= kMaxWordTableSize) continue;
            table.emplace(word, 1);
        } else {
            ++it->second;
        }
        changed = true;
    }
    if (changed) config.setWordFrequency(std::move(table));
}

void rememberStudentName(AppConfig& config, const std::string& ip, const std::string& name) {
    ConnectedStudents students = config.connectedStudents();
    if (!students.contains(ip) && students.size() >= kMaxConnectedStudents) return;
    students[ip] = characterCount(name) > kMaxStudentNameLength ? characterPrefix(name, kMaxStudentNameLength) : name;
    config.setConnectedStudents(std::move(students));
}

void recordLiveQuestion(AppConfig& config, const std::string& ip, const std::string& text, double now) {
    auto questions = config.liveQuestions();
    questions.push_back(
        LiveQuestion{randomUUIDString(), studentDisplayName(ip, config.connectedStudents()), ip, text, now});
    if (questions.size() > kMaxLiveQuestions) {
        questions.erase(questions.begin(), questions.end() - static_cast<std::ptrdiff_t>(kMaxLiveQuestions));
    }
    config.setLiveQuestions(std::move(questions));
}

void recordQuestion(const ClassroomContext& context, const std::string& ip, const std::string& text) {
    context.post([state = context.state, ip, text] { recordLiveQuestion(*state.config, ip, text, state.now()); });
    if (context.safetyMonitor) context.safetyMonitor->scanForKeywords(ip, text);
}

HttpResponse handleLog(const ClassroomContext& context, HttpRequest& request) {
    const auto body = nonEmptyJsonObject(request);
    const auto type = body ? readString(*body, "type") : std::nullopt;
    const auto text = body ? readString(*body, "text") : std::nullopt;
    if (type && text) {
        const std::string name = readString(*body, "name").value_or("Anonyme");
        const std::string ip = request.clientAddress();
        if (*type == "question") {
            countQuestionWords(context, *text);
            context.post([config = context.state.config, ip, name] { rememberStudentName(*config, ip, name); });
            recordQuestion(context, ip, *text);
            context.log(
                "Question de " + name + " (" + request.address.value_or("?") + "): " + characterPrefix(*text, 80),
                AppLogLevel::debug);
        }
        appendClassLog(context, *type, name, *text, ip);
        if (context.isEstablishmentMode()) context.sessions->touchLastActivity();
    }
    return plainTextReply("Logged");
}

}  // namespace klarion
