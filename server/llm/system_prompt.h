// The system message put in front of every chat request sent to LM Studio.
//
// It is composed afresh for each request from five classroom settings: the
// expert switch and directive, the temperature, the mission and the audience.
// The texts are fixed French blocks joined with nothing in between (the
// blocks that need it end with a space).
#pragma once

#include <string>

#include "app/state/app_config.h"

namespace klarion {

// At or above this temperature the exploration block replaces the honesty block.
inline constexpr double kExplorationTemperature = 1.5;

// The prompt for these settings. Pure; any thread.
std::string buildSystemPrompt(const AppConfigValues& settings);
// The prompt for the live settings (one consistent read).
std::string buildSystemPrompt(const AppConfig& config);

}  // namespace klarion
