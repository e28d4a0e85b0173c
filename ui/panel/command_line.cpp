#include "ui/panel/command_line.h"

#include <charconv>

#include "server/llm/lmstudio_client.h"

namespace klarion {

namespace {

// A whole decimal number from 0 to 65535.
bool readPort(const std::string& text, int64_t& port) {
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535) return false;
    port = value;
    return true;
}

CommandLine refused(std::string why) {
    CommandLine line;
    line.action = CommandLine::Action::usageError;
    line.error = std::move(why);
    return line;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            line.action = CommandLine::Action::help;
            return line;
        }
        if (name != "--port" && name != "--lmstudio") return refused("option inconnue « " + name + " »");
        if (i + 1 == args.size()) return refused("l'option " + name + " attend une valeur");
        const std::string& value = args[++i];
        if (name == "--port") {
            if (!readPort(value, line.port)) return refused("port invalide « " + value + " » (de 0 à 65535)");
        } else {
            if (lmStudioPort(value).empty()) {
                return refused("adresse de LM Studio invalide « " + value + " » (de la forme http://hôte:port)");
            }
            line.options.lmStudioURL = value;
        }
    }
    return line;
}

std::string commandLineUsage() {
    const CommandLine defaults;
    return "Usage : klarion [--port PORT] [--lmstudio URL]\n"
           "Ouvre la fenêtre de Klarion, qui démarre et arrête le serveur de la classe.\n"
           "  --port PORT      port proposé pour le serveur de la classe (" +
           std::to_string(defaults.port) +
           " par défaut ; 0 : un port libre)\n"
           "  --lmstudio URL   adresse de LM Studio (" +
           defaults.options.lmStudioURL +
           " par défaut)\n"
           "  --help, -h       affiche cette aide\n";
}

}  // namespace klarion
