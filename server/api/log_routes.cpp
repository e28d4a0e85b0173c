#include "server/api/log_routes.h"

#include <algorithm>
#include <system_error>

#include "platform/files.h"
#include "platform/text.h"
#include "server/api/class_log.h"
#include "server/api/replies.h"
#include "server/api/route_gate.h"

namespace klarion {

namespace fs = std::filesystem;

std::vector<std::string> listClassLogs(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return names;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) break;
        std::string name = it->path().filename().string();
        if (!name.ends_with(".txt")) continue;
        std::error_code typeError;
        if (it->is_directory(typeError)) continue;
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), std::greater<>());
    return names;
}

std::optional<std::string> readClassLog(const fs::path& folder, std::string_view name) {
    if (!isSafeFileName(name)) return std::nullopt;
    std::error_code error;
    const fs::path file = fs::canonical(folder / fs::path(std::string(name)), error);
    if (error) return std::nullopt;
    const fs::path base = fs::canonical(folder, error);
    if (error || file.parent_path() != base) return std::nullopt;
    if (!fs::is_regular_file(file, error)) return std::nullopt;
    return readFile(file);
}

HttpResponse handleLogs(const ClassroomContext& context, HttpRequest& request) {
    if (!authorizedTeacherBody(context, request, PinRule::anyTeacher)) return HttpResponse::unauthorized();
    Json list = Json::array();
    for (auto& name : listClassLogs(classLogFolder(context))) list.push_back(std::move(name));
    return jsonReply(list);
}

HttpResponse handleLogContent(const ClassroomContext& context, HttpRequest& request) {
    const auto body = nonEmptyJsonObject(request);
    if (!body || !readString(*body, "pin")) return HttpResponse::unauthorized();
    const auto filename = readString(*body, "filename");
    if (!filename || filename->find('/') != std::string::npos || filename->find("..") != std::string::npos) {
        return HttpResponse::unauthorized();
    }
    if (!context.authorizeTeacher(request, &*body, PinRule::anyTeacher)) return HttpResponse::unauthorized();
    const auto content = readClassLog(classLogFolder(context), *filename);
    if (!content) return HttpResponse::notFound();
    return plainTextReply(repairUTF8(*content));
}

}  // namespace klarion
