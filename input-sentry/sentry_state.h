// Everything velko-input-sentry keeps for its whole life, in one place. The
// entry point sets it up in order; afterwards only the timer's handler
// (pollTick) touches it, always on the main queue, so nothing is locked.
#pragma once

#include "event-protocol/events.h"
#include "input-sentry/input_process.h"
#include "platform/audio/hal.h"
#include "platform/dispatch/dispatch.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velko::input_sentry {

// Where "input" lines go: standard output in the program, a recorder in tests.
using LineSink = std::function<void(const events::Event&)>;

struct SentryState {
    explicit SentryState(audio::Hal& platform);

    audio::Hal& hal;
    LineSink emitLine;

    // Command line.
    std::int64_t intervalMs = 1000;
    std::vector<std::string> args; // still to be read

    std::unique_ptr<dispatch::Source> stdinSource;

    // Reporting state between ticks. The key sets hold comparable keys.
    KeySet previousKeys;
    bool seeded = false;
    KeySet preexistingKeys;
    // Ticks, the release tick included, that still write a line after the
    // last process stops running input.
    static constexpr std::int64_t idleTicksAfterRelease = 10;
    std::int64_t idleTicksLeft = 0;

    std::unique_ptr<dispatch::Source> timer;
};

} // namespace velko::input_sentry
