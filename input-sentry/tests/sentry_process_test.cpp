// velko-input-sentry as a whole process: exact bytes on each stream, exit
// statuses, and the timing of the first poll.
#include "input-sentry/startup.h"

#include "platform/audio/scripted.h"
#include "test-support/child_process.h"

#include <gtest/gtest.h>

#include <cstdlib>

using velko::testing::ChildProcess;
using namespace std::chrono_literals;
using namespace velko::audio;
using namespace velko::audio::selector;

namespace {

const std::string kReady = "{\"event\":\"ready\"}\n";
const std::string kEmptyInput = "{\"event\":\"input\",\"processes\":[]}\n";

// The program over a scripted audio system in which one process, present
// from the start, runs input.
ChildProcess sentryWithOneProcess(const std::vector<std::string>& args) {
    return ChildProcess::fork([args]() -> int {
        ScriptedHal hal;
        hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10});
        setProcessObject(hal, 10, {"com.example.Call", 1, 321, {100}});
        hal.setString(100, kAudioDevicePropertyDeviceUID, "Mic");
        velko::input_sentry::run(args, hal);
    });
}

const nlohmann::json kOneProcessLine = nlohmann::json::parse(
    R"({"event":"input","processes":[{"bundleId":"com.example.Call","pid":321,"preexisting":true,"deviceUID":"Mic"}]})");

} // namespace

TEST(SentryProcess, FirstInputLineFollowsReadyWithoutWaitingAnInterval) {
    auto child = sentryWithOneProcess({"--interval-ms", "10000"});
    // Far sooner than the ten-second interval.
    ASSERT_TRUE(child.waitForOutLines(2, 3s)) << child.out();
    auto events = child.outEvents();
    EXPECT_EQ(events[0], nlohmann::json::parse(kReady));
    EXPECT_EQ(events[1], kOneProcessLine);
    child.closeStdin();
    auto r = child.wait();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(child.err(), "");
    EXPECT_EQ(child.outEvents().size(), 2u);
}

TEST(SentryProcess, WritesOnEveryTickWhileAProcessRunsInput) {
    auto child = sentryWithOneProcess({"--interval-ms", "200"});
    ASSERT_TRUE(child.waitForOutLines(4, 3s)) << child.out();
    auto events = child.outEvents();
    for (std::size_t i = 1; i < events.size(); ++i) EXPECT_EQ(events[i], kOneProcessLine) << i;
    // Every line is compact JSON plus one line feed.
    std::string expected = kReady;
    for (std::size_t i = 1; i < events.size(); ++i) expected += events[i].dump() + "\n";
    EXPECT_EQ(child.out().substr(0, expected.size()), expected);
    child.closeStdin();
    EXPECT_EQ(child.wait().status, 0);
}

TEST(SentryProcess, StandardInputAtEndOfFileFromTheStart) {
    auto child = sentryWithOneProcess({});
    child.closeStdin();
    auto r = child.wait();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    // Whether the first poll ran before the exit is not fixed.
    EXPECT_EQ(child.out().substr(0, kReady.size()), kReady);
    EXPECT_LE(child.outEvents().size(), 2u);
    EXPECT_EQ(child.err(), "");
}

#ifdef VELKO_INPUT_SENTRY

namespace {
// The binary on a machine without a sound server: it sees no process.
ChildProcess sentry(std::vector<std::string> args) {
    ::setenv("PULSE_SERVER", "unix:/nonexistent/velko-no-server", 1);
    ::setenv("XDG_RUNTIME_DIR", "/nonexistent/velko-no-runtime-dir", 1);
    ::unsetenv("DISPLAY");
    args.insert(args.begin(), VELKO_INPUT_SENTRY);
    return ChildProcess::spawn(args);
}
} // namespace

TEST(SentryBinary, SeesNoProcessesSoWritesOneEmptyLineThenStaysSilent) {
    auto child = sentry({"--interval-ms", "200"});
    ASSERT_TRUE(child.waitForOutLines(2, 3s));
    // Several more ticks pass without a line.
    EXPECT_FALSE(child.waitFor([&] { return child.out().size() > kReady.size() + kEmptyInput.size(); }, 900ms));
    child.closeStdin();
    auto r = child.wait();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(child.out(), kReady + kEmptyInput);
    EXPECT_EQ(child.err(), "");
}

TEST(SentryBinary, FirstLineComesAtOnceEvenWithTheLongestInterval) {
    auto child = sentry({"--interval-ms", "10000"});
    ASSERT_TRUE(child.waitForOutLines(2, 3s));
    EXPECT_EQ(child.out(), kReady + kEmptyInput);
    child.closeStdin();
    EXPECT_EQ(child.wait().status, 0);
}

TEST(SentryBinary, RefusesABadCommandLineBeforeAnythingElse) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--interval-ms=500"}, "unknown flag --interval-ms=500"},
        {{"--interval-ms", "500", "stray"}, "unknown flag stray"},
        {{""}, "unknown flag "},
        {{"--interval-ms", "199"}, "--interval-ms needs an integer between 200 and 10000"},
        {{"--interval-ms", " 500"}, "--interval-ms needs an integer between 200 and 10000"},
        {{"--interval-ms", "500", "--interval-ms"}, "--interval-ms needs an integer between 200 and 10000"},
    };
    for (const auto& c : cases) {
        auto child = sentry(c.args);
        auto r = child.wait(5s);
        EXPECT_TRUE(r.exited) << c.message;
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(child.out(), "") << c.message; // no "ready", no "input"
        auto expected = nlohmann::json{{"event", "error"}, {"code", "bad_args"}, {"message", c.message}};
        EXPECT_EQ(child.err(), expected.dump() + "\n") << c.message;
    }
}

#endif
