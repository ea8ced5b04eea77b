#include "input-sentry/startup.h"

#include "event-protocol/flags.h"
#include "event-protocol/profiles.h"
#include "event-protocol/stdin_watch.h"
#include "input-sentry/poll_loop.h"

#include <array>
#include <chrono>

namespace velko::input_sentry {

SentryState::SentryState(audio::Hal& platform)
    : hal(platform), emitLine([](const events::Event& event) { events::input_sentry::emit(event); }) {}

std::optional<std::string> readArguments(SentryState& state) {
    const std::array<events::FlagSpec, 1> flags{{
        {kIntervalFlag, kIntervalMessage,
         [&state](const std::string& value) {
             auto ms = events::parseDecimalInt64(value);
             if (!ms || *ms < 200 || *ms > 10000) return false;
             state.intervalMs = *ms;
             return true;
         }},
    }};
    auto refusal = events::readFlags(state.args, flags);
    if (!refusal) state.args.clear();
    return refusal;
}

void startPolling(SentryState& state) {
    state.timer = dispatch::makeTimerSource(std::chrono::milliseconds(state.intervalMs));
    state.timer->setHandler([&state] { pollTick(state); });
    state.timer->resume();
}

void run(std::vector<std::string> args, audio::Hal& hal) {
    // Lives as long as the process, since runMain never returns. The poll
    // state starts out empty, unseeded and with no countdown running.
    SentryState state(hal);
    state.args = std::move(args);

    if (auto refusal = readArguments(state)) events::input_sentry::fail("bad_args", *refusal);

    state.stdinSource = events::installStdinReadSource();
    events::input_sentry::emit({{"event", "ready"}});

    startPolling(state);
    dispatch::runMain();
}

} // namespace velko::input_sentry
