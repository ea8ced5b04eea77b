#include "input-sentry/poll_loop.h"

#include "input-sentry/enumeration.h"

#include <algorithm>
#include <iterator>

namespace velko::input_sentry {

void pollTick(SentryState& state) {
    auto processes = activeInputProcesses(state.hal);

    std::vector<std::string> keys;
    keys.reserve(processes.size());
    for (const auto& process : processes) keys.push_back(comparableKey(process.key()));
    KeySet current(keys.begin(), keys.end());

    // Pre-existing means present on the first tick and on every tick since:
    // after the first tick the set can only shrink.
    if (!state.seeded) {
        state.preexistingKeys = current;
    } else {
        KeySet kept;
        std::set_intersection(state.preexistingKeys.begin(), state.preexistingKeys.end(), current.begin(),
                              current.end(), std::inserter(kept, kept.end()));
        state.preexistingKeys = std::move(kept);
    }

    bool write = false;
    if (!current.empty()) {
        state.idleTicksLeft = 0;
        write = true;
    } else if (!state.previousKeys.empty()) {
        // The tick of release starts the countdown and counts as its first line.
        state.idleTicksLeft = SentryState::idleTicksAfterRelease;
        write = true;
    } else if (state.idleTicksLeft >= 1) {
        --state.idleTicksLeft;
        write = state.idleTicksLeft >= 1;
    }
    // The first tick always reports, so the host learns the state at start-up.
    if (!state.seeded) write = true;

    if (write) {
        auto entries = nlohmann::json::array();
        for (std::size_t i = 0; i < processes.size(); ++i) {
            entries.push_back(processes[i].json(state.preexistingKeys.contains(keys[i])));
        }
        state.emitLine({{"event", "input"}, {"processes", std::move(entries)}});
    }

    state.previousKeys = std::move(current);
    state.seeded = true;
}

} // namespace velko::input_sentry
