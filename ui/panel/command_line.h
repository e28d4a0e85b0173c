// The command line of the program `klarion`:
//     klarion [--port PORT] [--lmstudio URL]
//     klarion --help
// Each option takes its value as the next argument; anything else is a usage
// error. A teacher needs none of them; the tests start the program on a free
// port beside a fake LM Studio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/panel/application.h"
#include "ui/panel/panel_state.h"

namespace klarion {

struct CommandLine {
    enum class Action {
        run,         // start the window
        help,        // print commandLineUsage() on standard output, exit 0
        usageError,  // print `error` and the usage on standard error, exit 2
    };
    Action action = Action::run;
    ApplicationOptions options;                // --lmstudio
    int64_t port = PanelState{}.selectedPort;  // --port: the port the panel offers first
    std::string error;                         // usageError: what is wrong, in one line
};

// Reads the arguments that follow the program's name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// The usage text, every option with its default, ending with a line feed.
std::string commandLineUsage();

}  // namespace klarion
