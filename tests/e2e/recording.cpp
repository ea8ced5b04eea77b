#include "tests/e2e/recording.h"

#include <gtest/gtest.h>

namespace velko::e2e {

const nlohmann::json& stoppedLine() {
    static const nlohmann::json line = {{"event", "stopped"}};
    return line;
}

std::unique_ptr<SoundServer> startServer(ServerKind kind, bool warm) {
    std::string error;
    auto server = SoundServer::start(kind, warm, error);
    EXPECT_TRUE(server) << error;
    return server;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void keepRecording(testing::ChildProcess& recorder, std::chrono::milliseconds duration) {
    recorder.waitFor([] { return false; }, duration);
}

} // namespace velko::e2e
