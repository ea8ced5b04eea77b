// velko-pointer-sentry as a whole process: the command line, the start-up
// order, the refused monitor, the lines on standard output byte for byte and
// the end at the close of standard input. Most runs use the program's `run`
// with a scripted window system in a forked child, whose calls come back to
// the test through a pipe; the built binary is run as shipped too.
#include "event-protocol/events.h"
#include "platform/window-system/scripted.h"
#include "pointer-sentry/pointer_sentry.h"
#include "test-support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <sstream>

using velko::testing::ChildProcess;
using namespace velko::window_system;
using namespace std::chrono_literals;

namespace {

const std::string readyLine = "{\"event\":\"ready\"}\n";
const std::string clickLine = "{\"event\":\"desktopClick\"}\n";

const nlohmann::json badArgs = {{"event", "error"}, {"code", "bad_args"}, {"message", "takes no flags"}};
const nlohmann::json noMonitor = {
    {"event", "error"}, {"code", "monitor"}, {"message", "could not install the global mouse monitor"}};

// The window-system calls of a child, one per line through a pipe.
class CallLog {
public:
    CallLog() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) std::abort();
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~CallLog() {
        for (int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;

    // In the child.
    void attach(ScriptedWindowSystem& platform) {
        int fd = fds_[1];
        platform.onCall = [fd](const std::string& call) { velko::events::writeAll(fd, call + "\n"); };
    }
    // In the parent, once the child runs: only the child writes from now on.
    void parentSide() {
        ::close(fds_[1]);
        fds_[1] = -1;
    }
    // What the child has logged so far.
    std::vector<std::string> calls() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> lines;
        std::istringstream in(text_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    int fds_[2] = {-1, -1};
    std::string text_;
};

// Runs the program in a forked child against a scripted window system that
// `configure` sets up.
ChildProcess runScripted(CallLog& log, std::vector<std::string> args,
                         const std::function<void(ScriptedWindowSystem&)>& configure = {}) {
    auto child = ChildProcess::fork([&]() -> int {
        ScriptedWindowSystem platform;
        platform.screens = {{0, 0, 1440, 900}};
        if (configure) configure(platform);
        log.attach(platform);
        velko::pointer_sentry::run(args, platform);
    });
    log.parentSide();
    return child;
}

const std::vector<std::string> startUpCalls = {
    "desktopIconWindowLevel",
    "sharedApplication",
    "setActivationPolicy 1",
    "addGlobalMonitor 14",
};

// Waits for the child, which must fail: exit status 1, nothing on standard
// output, and `line` alone on standard error as one compact line.
void expectFailureLine(ChildProcess& child, const nlohmann::json& line) {
    auto result = child.wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(child.out(), "");
    auto errors = child.errEvents();
    ASSERT_EQ(errors.size(), 1u) << child.err();
    EXPECT_EQ(errors[0], line);
    EXPECT_EQ(child.err(), errors[0].dump() + "\n");
}

std::vector<std::string> firstCalls(std::vector<std::string> calls, std::size_t n) {
    calls.resize(std::min(n, calls.size()));
    return calls;
}

} // namespace

TEST(CommandLine, AnyArgumentIsRefusedBeforeTheWindowSystemIsTouched) {
    const std::vector<std::vector<std::string>> commandLines = {
        {""}, {"--help"}, {"-v"}, {"--interval-ms", "100"}, {"", ""}, {"--"},
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(testing::PrintToString(args));
        CallLog log;
        auto child = runScripted(log, args);
        expectFailureLine(child, badArgs);
        EXPECT_EQ(log.calls(), std::vector<std::string>{});
    }
}

TEST(CommandLine, TheShippedBinaryRefusesAnEmptyArgument) {
    auto child = ChildProcess::spawn({VELKO_POINTER_SENTRY, ""});
    expectFailureLine(child, badArgs);
}

TEST(StartUp, ARefusedMonitorEndsWithTheMonitorLineAndNoReady) {
    CallLog log;
    auto child = runScripted(log, {}, [](ScriptedWindowSystem& platform) { platform.refuseMonitor = true; });
    expectFailureLine(child, noMonitor);
    // Everything up to the monitor was set up, in order; the loop never ran.
    EXPECT_EQ(log.calls(), startUpCalls);
}

TEST(Running, ReadyThenOneLinePerClickUntilStandardInputCloses) {
    CallLog log;
    auto child = runScripted(log, {}, [](ScriptedWindowSystem& platform) {
        platform.windows = {
            {40, {100, 100, 400, 300}, PropertyList::parse(R"([{"kCGWindowLayer":0}])")},
            {2, {0, 0, 1440, 900}, PropertyList::parse(R"([{"kCGWindowLayer":-2147483603}])")},
        };
        platform.script = {
            MouseEvent{EventType::leftMouseDown, Point{700, 300}},
            MouseEvent{EventType::leftMouseUp, Point{702, 301}},
            MouseEvent{EventType::rightMouseDown, Point{700, 300}},
            MouseEvent{EventType::leftMouseDown, Point{200, 700}},
            MouseEvent{EventType::leftMouseUp, Point{200, 700}},
        };
    });
    // Whatever the host writes on standard input is read and ignored.
    child.writeStdin("ignored\n");
    ASSERT_TRUE(child.waitForOutLines(3)) << child.out() << child.err();
    EXPECT_EQ(child.out(), readyLine + clickLine + clickLine);

    child.closeStdin();
    auto result = child.wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(child.out(), readyLine + clickLine + clickLine); // no further line
    EXPECT_EQ(child.err(), "");

    auto calls = log.calls();
    auto expected = startUpCalls;
    expected.push_back("run");
    EXPECT_EQ(firstCalls(calls, expected.size()), expected);
}

TEST(Running, StandardInputAlreadyClosedEndsAfterReady) {
    CallLog log;
    auto child = runScripted(log, {});
    child.closeStdin();
    auto result = child.wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(child.out(), readyLine);
    EXPECT_EQ(child.err(), "");
}

namespace {

// The scripted window system, but with an event loop that comes back, as an
// override that is not [[noreturn]] may.
class ReturningLoop final : public WindowSystem {
public:
    ScriptedWindowSystem scripted;

    std::int32_t desktopIconWindowLevel() override { return scripted.desktopIconWindowLevel(); }
    Application sharedApplication() override { return scripted.sharedApplication(); }
    void setActivationPolicy(Application application, ActivationPolicy policy) override {
        scripted.setActivationPolicy(application, policy);
    }
    std::optional<Monitor> addGlobalMonitor(EventMask mask, MouseHandler handler) override {
        return scripted.addGlobalMonitor(mask, std::move(handler));
    }
    std::optional<double> primaryScreenHeight() override { return scripted.primaryScreenHeight(); }
    std::int64_t windowNumberAtPoint(Point point) override { return scripted.windowNumberAtPoint(point); }
    std::optional<PropertyList> windowDescriptions(std::uint32_t windowId) override {
        return scripted.windowDescriptions(windowId);
    }
    void run(Application) override {}
};

} // namespace

TEST(Running, AnEventLoopThatEndsEndsTheProgramWithAnError) {
    auto child = ChildProcess::fork([]() -> int {
        ReturningLoop platform;
        velko::pointer_sentry::run({}, platform);
    });
    auto result = child.wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(child.out(), readyLine);
    const nlohmann::json loopEnded = {{"event", "error"}, {"code", "monitor"}, {"message", "the event loop ended"}};
    EXPECT_EQ(child.err(), loopEnded.dump() + "\n");
}
