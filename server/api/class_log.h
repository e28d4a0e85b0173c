// The class log: "/api/log", where the student page posts every question and
// every answer it sees, and the day files it writes.
//
// The route needs no PIN. A question feeds the word cloud, the table of
// connected names, the live feed and the keyword safety scan, whether or not
// supervision is on; a record goes to the day's file only while supervision
// is on (answers only at the level "questions_answers").
//
// Day file: logFolder / "Log_DD-MM-YYYY.txt", one line per record:
//   "[HH:MM:SS] name (ip): text\n"
// Appends of the whole process are serialised and made in append mode, so
// parallel records neither lose nor interleave lines.
//
// Because anyone on the network may post here, what the route can make grow
// is bounded: the word table keeps at most kMaxWordTableSize words (a new word
// beyond that is not counted; known words still are) and skips pieces longer
// than kMaxCountedWordLength characters; the table of names keeps at most
// kMaxConnectedStudents addresses (a new address beyond that is not
// remembered and shows as "Anonyme") and the first kMaxStudentNameLength
// characters of each name; the live feed keeps the newest 60 questions.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/app_config.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "server/api/classroom_context.h"

namespace klarion {

inline constexpr size_t kMaxLiveQuestions = 60;
inline constexpr size_t kMaxWordTableSize = 5000;
inline constexpr size_t kMaxCountedWordLength = 40;
inline constexpr size_t kMaxConnectedStudents = 1000;
inline constexpr size_t kMaxStudentNameLength = 100;

// Words never counted in the word cloud (compared after lower-casing).
extern const std::array<std::string_view, 33> questionStopWords;

HttpResponse handleLog(const ClassroomContext& context, HttpRequest& request);

// The class log folder: Documents/"Klarion_Logs", and in the establishment
// mode one more level, the active teacher's name made safe as a folder name,
// or "_non_attribue" without a session. Creates nothing.
std::filesystem::path classLogFolder(const std::filesystem::path& documents, AppMode mode,
                                     const std::string& activeTeacherName);
std::filesystem::path classLogFolder(const ClassroomContext& context);

// "Log_" + the local date as DD-MM-YYYY + ".txt".
std::string classLogFileName(double secondsSince1970);
// "[HH:MM:SS] name (ip): text\n", the time in local time.
std::string classLogLine(double secondsSince1970, const std::string& name, const std::string& ip,
                         const std::string& text);

// Writes one record to the day's file unless the supervision settings say
// not to. True when a line was written.
bool appendClassLog(const ClassroomContext& context, const std::string& type, const std::string& name,
                    const std::string& text, const std::string& ip);

// The words of a question the word cloud counts, in text order, once per
// occurrence: the lower-cased text (in composed form) cut at every character
// that is not a letter or a mark, keeping words of at least 4 characters (and
// at most kMaxCountedWordLength) that are not stop words.
std::vector<std::string> questionWords(std::string_view text);

// Posts one main-queue step that counts the question's words.
void countQuestionWords(const ClassroomContext& context, const std::string& text);
// Main thread steps.
void addWordCounts(AppConfig& config, const std::vector<std::string>& words);
void rememberStudentName(AppConfig& config, const std::string& ip, const std::string& name);
void recordLiveQuestion(AppConfig& config, const std::string& ip, const std::string& text, double now);
// Posts the live question, then hands the question to the keyword safety
// scan (ClassroomContext::safetyMonitor).
void recordQuestion(const ClassroomContext& context, const std::string& ip, const std::string& text);

}  // namespace klarion
