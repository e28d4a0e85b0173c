// The class log files for the dashboard, guarded by the PIN of any teacher:
// "/api/logs" lists the ".txt" files of the current class log folder (the
// greatest name first), "/api/log-content" returns one of them as text.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/core/request.h"
#include "http/core/response.h"
#include "server/api/classroom_context.h"

namespace klarion {

HttpResponse handleLogs(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleLogContent(const ClassroomContext& context, HttpRequest& request);

// The names of the files directly in `folder` that end with ".txt", in
// descending byte order; empty when the folder cannot be listed.
std::vector<std::string> listClassLogs(const std::filesystem::path& folder);

// The content of the file `name` directly inside `folder`, or none when the
// name is no plain file name (empty, ".", "..", a "/" or a NUL), when the file
// is not a regular file, when it resolves outside the folder, or when it
// cannot be read.
std::optional<std::string> readClassLog(const std::filesystem::path& folder, std::string_view name);

}  // namespace klarion
