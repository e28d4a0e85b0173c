// Route handlers that serve files: one fixed file, the files below a shared
// folder, and a browser that lists a folder as a page of links.
//
// Only regular files are opened (a FIFO or a device is answered 404 without
// being opened), and a request never reaches outside the shared folder: a
// parameter holding a ".." segment, an absolute path or a NUL byte is refused,
// and so is a path whose symbolic links lead outside the folder. The body is
// sent from the open file with sendfile; its length is that of the opened file.
// A file whose size the system reports as 0 (/proc files, made as they are
// read) is sent by reading it to its end instead.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "http/core/file.h"
#include "http/core/response.h"
#include "http/core/router.h"

namespace klarion {

// Answers every request with the file at `path`; 404 when it cannot be opened
// as a regular file. The answer carries no headers of its own.
HttpHandler shareFile(std::string path);

// Answers with the file below `directory` that the route's parameter names,
// with "Content-Type" from its extension and "Content-Length" (left out for a
// size of 0, which may be a file made as it is read). For an empty
// parameter the default names are tried first, in order (answered without
// those headers). 404 when there is no parameter or no such regular file.
HttpHandler shareFilesFromDirectory(std::string directory, std::vector<std::string> defaultFileNames);

// Lists the folder below `root` that the route's parameter names as a page of
// links sorted by name without regard to case (link text escaped), or serves
// the file it names. Each link is the route's own prefix and one segment,
// folder and name percent-encoded together ("/files/etc%2Fhosts" in the
// listing of "/files/etc"), so that the same route answers it. 404 when missing or neither
// folder nor regular file; 500 when it cannot be examined or listed.
HttpHandler directoryBrowser(std::string root);

// The body writer of a served file: sends it whole, drops a failed transfer,
// and closes the file. The file is closed also when the writer never runs.
HttpBodyWriterFn sendFileAndClose(std::shared_ptr<File> file);

}  // namespace klarion
