// One poll: ask which processes run input and write an "input" line while
// any do, for ten ticks after the last one stops, and on the very first tick.
#pragma once

#include "input-sentry/sentry_state.h"

namespace velko::input_sentry {

void pollTick(SentryState& state);

} // namespace velko::input_sentry
