// velko-input-sentry from its command line to the poll loop.
#pragma once

#include "input-sentry/sentry_state.h"

#include <optional>
#include <string>
#include <vector>

namespace velko::input_sentry {

inline constexpr std::string_view kIntervalFlag = "--interval-ms";
inline constexpr std::string_view kIntervalMessage = "--interval-ms needs an integer between 200 and 10000";

// Reads `state.args`, storing each accepted "--interval-ms" in
// `state.intervalMs` (the last one holds). Returns the refusal message for
// a bad command line.
std::optional<std::string> readArguments(SentryState& state);

// Creates the repeating timer on the main queue, first tick at once, then
// every `state.intervalMs`, and hands each firing to pollTick.
void startPolling(SentryState& state);

// The whole program: flags, stdin-closure watch, "ready", polling. Never
// returns; a bad command line ends the process through `fail`.
[[noreturn]] void run(std::vector<std::string> args, audio::Hal& hal);

} // namespace velko::input_sentry
