#include "ui/panel/command_line.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

TEST(CommandLine, OptionsHelpAndUsageErrors) {
    using Action = CommandLine::Action;
    const struct {
        std::vector<std::string> args;
        Action action;
        int64_t port;
        std::string lmStudioURL, error;
    } cases[] = {
        {{}, Action::run, 3000, "http://127.0.0.1:1234", ""},
        {{"--port", "8080", "--lmstudio", "http://127.0.0.1:5678"}, Action::run, 8080, "http://127.0.0.1:5678", ""},
        {{"--port", "80", "--port", "65535"}, Action::run, 65535, "http://127.0.0.1:1234", ""},
        {{"--help"}, Action::help, 3000, "http://127.0.0.1:1234", ""},
        {{"--port", "8080", "-h", "--bogus"}, Action::help, 8080, "http://127.0.0.1:1234", ""},
        // Before, options were read in pairs and the rest ignored: each of these opened the window.
        {{"--bogus"}, Action::usageError, 3000, "http://127.0.0.1:1234", "option inconnue « --bogus »"},
        {{"--port"}, Action::usageError, 3000, "http://127.0.0.1:1234", "l'option --port attend une valeur"},
        {{"--lmstudio", "http://127.0.0.1:5678", "3000"},
         Action::usageError,
         3000,
         "http://127.0.0.1:1234",
         "option inconnue « 3000 »"},
        {{"--port", "abc"}, Action::usageError, 3000, "http://127.0.0.1:1234", "port invalide « abc » (de 0 à 65535)"},
        {{"--port", "65536"},
         Action::usageError,
         3000,
         "http://127.0.0.1:1234",
         "port invalide « 65536 » (de 0 à 65535)"},
        {{"--lmstudio", "127.0.0.1:1234"},
         Action::usageError,
         3000,
         "http://127.0.0.1:1234",
         "adresse de LM Studio invalide « 127.0.0.1:1234 » (de la forme http://hôte:port)"},
    };
    for (const auto& c : cases) {
        const CommandLine line = parseCommandLine(c.args);
        const std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(line.action, c.action) << label;
        EXPECT_EQ(line.error, c.error) << label;
        if (line.action != Action::usageError) {
            EXPECT_EQ(line.port, c.port) << label;
            EXPECT_EQ(line.options.lmStudioURL, c.lmStudioURL) << label;
        }
    }
}

}  // namespace
}  // namespace klarion
