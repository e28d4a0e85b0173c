#include "app/state/teachers_csv.h"

#include <algorithm>

#include "app/state/roster.h"
#include "platform/text.h"

namespace klarion {

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::string csvNameField(const std::string& name) {
    if (name.find_first_of(",\"") == std::string::npos) return name;
    std::string field = "\"";
    for (char c : name) {
        if (c == '"') field += '"';
        field += c;
    }
    field += '"';
    return field;
}

}  // namespace

std::string teachersCSV(const std::vector<Teacher>& teachers) {
    std::string text = "nom,pin";
    for (const Teacher& teacher : teachers) {
        text += '\n';
        text += csvNameField(teacher.name);
        text += ',';
        text += teacher.pin;
    }
    return text;
}

std::vector<std::string> parseCSVLine(std::string_view line) {
    std::vector<std::string> fields;
    std::string current;
    bool inQuotes = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            if (inQuotes && i + 1 < line.size() && line[i + 1] == '"') {
                current += '"';
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
        } else if (c == ',' && !inQuotes) {
            fields.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    fields.push_back(std::move(current));
    return fields;
}

TeachersCSVMerge mergeTeachersCSV(std::vector<Teacher> roster, std::string_view text, double now) {
    if (text.starts_with(byteOrderMark)) text.remove_prefix(byteOrderMark.size());

    std::vector<std::string> lines;
    for (const std::string& piece : splitAtLineBreaks(text)) {
        std::string line = trimWhitespaceAndNewlines(piece);
        if (!line.empty()) lines.push_back(std::move(line));
    }
    size_t first = 0;
    if (!lines.empty() && lowercased(lines.front()).starts_with("nom")) first = 1;

    TeachersCSVMerge merge;
    merge.teachers = std::move(roster);
    for (size_t i = first; i < lines.size(); ++i) {
        std::vector<std::string> fields = parseCSVLine(lines[i]);
        std::string name = trimWhitespaceAndNewlines(fields[0]);
        if (name.empty()) {
            ++merge.skipped;
            continue;
        }
        std::string pinText = fields.size() >= 2 ? trimWhitespaceAndNewlines(fields[1]) : std::string();
        auto known = std::find_if(merge.teachers.begin(), merge.teachers.end(),
                                  [&](const Teacher& t) { return canonicallyEqual(t.name, name); });
        if (known != merge.teachers.end()) {
            if (!pinText.empty() && pinText != known->pin) {
                known->pin = pinText;
                ++merge.updated;
            } else {
                ++merge.skipped;
            }
        } else {
            std::string pin = pinText.empty() ? generatePin(6) : pinText;
            merge.teachers.push_back(makeTeacher(std::move(name), std::move(pin), now));
            ++merge.added;
        }
    }
    return merge;
}

}  // namespace klarion
