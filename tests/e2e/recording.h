// What the recorder's end-to-end tests share: a private server to record
// from, and the recorder's streams read while time passes.
#pragma once

#include "tests/e2e/sound_server.h"

#include <chrono>
#include <memory>

namespace velko::e2e {

using Clock = std::chrono::steady_clock;

// The recorder's last line on an orderly stop.
const nlohmann::json& stoppedLine();

// A private server of `kind`; the test fails (and nullptr comes back) when
// it does not start.
std::unique_ptr<SoundServer> startServer(ServerKind kind, bool warm = true);

double secondsSince(Clock::time_point start);

// Keeps reading the recorder's streams for `duration`.
void keepRecording(testing::ChildProcess& recorder, std::chrono::milliseconds duration);

} // namespace velko::e2e
