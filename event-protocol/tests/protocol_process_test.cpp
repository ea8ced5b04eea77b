// The event protocol as whole programs see it: exact bytes on each stream,
// exit statuses, the stdin-closure watch and SIGPIPE.
#include "test-support/child_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

using velko::testing::ChildProcess;
using velko::testing::cpuSeconds;
using namespace std::chrono_literals;

namespace {

ChildProcess fixture(std::vector<std::string> args) {
    args.insert(args.begin(), VELKO_PROTOCOL_FIXTURE);
    return ChildProcess::spawn(args);
}

// The read system calls a live process has made, from /proc.
double readCalls(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string name;
    double value = 0;
    while (io >> name >> value) {
        if (name == "syscr:") return value;
    }
    ADD_FAILURE() << "no read count for " << pid;
    return 0;
}

} // namespace

TEST(ReadyLine, IsExactlyEighteenBytesOnStandardOutput) {
    for (const char* profile : {"sentry", "pointer"}) {
        auto child = fixture({profile});
        ASSERT_TRUE(child.waitForOutLines(1)) << profile;
        EXPECT_EQ(child.out(), std::string("{\"event\":\"ready\"}\n")) << profile;
        EXPECT_EQ(child.out().size(), 18u);
        child.closeStdin();
        auto r = child.wait();
        EXPECT_TRUE(r.exited) << profile;
        EXPECT_EQ(r.status, 0) << profile;
        EXPECT_EQ(child.err(), "") << profile;
    }
}

TEST(Fail, WritesOneErrorLineAndExitsOne) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"fail", "bad_args", "takes no flags"}, R"({"code":"bad_args","event":"error","message":"takes no flags"})"},
        {{"fail", "tap_denied", "refused", "-66753"},
         R"({"code":"tap_denied","event":"error","message":"refused","osstatus":-66753})"},
        {{"fail", "no_input_device", "none", "0"},
         R"({"code":"no_input_device","event":"error","message":"none","osstatus":0})"},
        {{"fail", "x", "big", "2147483647"}, R"({"code":"x","event":"error","message":"big","osstatus":2147483647})"},
        {{"fail", "x", "small", "-2147483648"},
         R"({"code":"x","event":"error","message":"small","osstatus":-2147483648})"},
    };
    for (const auto& c : cases) {
        auto child = fixture(c.args);
        auto r = child.wait();
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(child.out(), "");
        // Member order is free; compare as objects, and check the shape.
        auto events = child.errEvents();
        ASSERT_EQ(events.size(), 1u) << child.err();
        EXPECT_EQ(events[0], nlohmann::json::parse(c.line));
        // One compact line: re-serialising the parsed object gives the same bytes.
        EXPECT_EQ(child.err(), events[0].dump() + "\n");
    }
}

TEST(Fail, TextThatIsNotUtf8StillReachesTheErrorLine) {
    auto child = fixture({"fail-unserialisable"});
    auto r = child.wait();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(child.err(), "{\"code\":\"bad_args\",\"event\":\"error\",\"message\":\"\xef\xbf\xbd\xef\xbf\xbd\"}\n");
    EXPECT_EQ(child.out(), "");
}

TEST(Emit, ALineWithInvalidUtf8IsWrittenWithReplacementCharacters) {
    auto child = fixture({"emit", R"({"event":"x","s":"a\"b"})"});
    auto r = child.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(child.out(),
              "{\"event\":\"x\",\"s\":\"a\\\"b\"}\n{\"event\":\"bad \xef\xbf\xbd\"}\n{\"event\":\"after\"}\n");
}

TEST(Flags, RefusalsReachStandardErrorBeforeAnythingElse) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"sentry", "--count=20"}, "unknown flag --count=20"},
        {{"sentry", ""}, "unknown flag "},
        {{"sentry", "--count"}, "--count needs an integer between 10 and 5000"},
        {{"sentry", "--count", "9", "--count", "20"}, "--count needs an integer between 10 and 5000"},
        {{"recorder", "--number", "inf"}, "--number needs a positive number"},
        {{"recorder", "--number", " 5"}, "--number needs a positive number"},
        {{"pointer", ""}, "takes no flags"},
        {{"pointer", "--count", "20"}, "takes no flags"},
    };
    for (const auto& c : cases) {
        auto child = fixture(c.args);
        auto r = child.wait();
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(child.out(), "") << c.message;
        auto events = child.errEvents();
        ASSERT_EQ(events.size(), 1u) << child.err();
        EXPECT_EQ(events[0], (nlohmann::json{{"event", "error"}, {"code", "bad_args"}, {"message", c.message}}));
    }
}

TEST(Flags, LastValidOccurrenceWins) {
    auto child = fixture({"recorder", "--count", "20", "--number", "2", "--count", "30"});
    ASSERT_TRUE(child.waitForErrLines(1));
    auto ready = child.errEvents().at(0);
    EXPECT_EQ(ready["count"], 30);
    EXPECT_EQ(ready["number"], 2.0);
    child.closeStdin();
    EXPECT_EQ(child.wait().status, 0);
}

TEST(StdinWatch, InputAtEndOfFileFromTheStart) {
    for (const char* profile : {"sentry", "pointer", "recorder"}) {
        auto child = fixture({profile});
        child.closeStdin();
        auto r = child.wait();
        EXPECT_TRUE(r.exited) << profile;
        EXPECT_EQ(r.status, 0) << profile;
        std::string stream = std::string(profile) == "recorder" ? child.err() : child.out();
        auto events = ChildProcess::jsonLines(stream);
        ASSERT_GE(events.size(), 1u) << profile;
        EXPECT_EQ(events.front()["event"], "ready");
        if (std::string(profile) == "recorder") {
            ASSERT_EQ(events.size(), 2u);
            EXPECT_EQ(events.back(), (nlohmann::json{{"event", "stopped"}}));
            EXPECT_EQ(child.out(), "");
        } else {
            EXPECT_EQ(events.size(), 1u) << profile;
        }
    }
}

TEST(StdinWatch, BytesAreIgnoredUntilTheInputCloses) {
    for (const char* profile : {"sentry", "recorder"}) {
        auto child = fixture({profile});
        ASSERT_TRUE(std::string(profile) == "recorder" ? child.waitForErrLines(1) : child.waitForOutLines(1));
        child.writeStdin(std::string(100000, 'x'));
        child.writeStdin("\n\0quit\n");
        // Still running a while later.
        EXPECT_FALSE(child.waitFor([] { return false; }, 300ms));
        std::string before = child.out() + child.err();
        child.closeStdin();
        auto r = child.wait();
        EXPECT_EQ(r.status, 0) << profile;
        EXPECT_TRUE(before.find("quit") == std::string::npos);
    }
}

TEST(StdinWatch, StandardInputFromAFileOrDevNull) {
    // Descriptors that poll() cannot wait on still end the program at EOF.
    auto child = ChildProcess::spawn({"/bin/sh", "-c", std::string(VELKO_PROTOCOL_FIXTURE) + " sentry </dev/null"});
    auto r = child.wait(5s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(child.out(), "{\"event\":\"ready\"}\n");
    // A regular file of 64 KiB, read to its end.
    char path[] = "/tmp/velko-stdin-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path, std::ios::binary) << std::string(std::size_t{64} * 1024, 'x');
    auto fromFile = ChildProcess::spawn({"/bin/sh", "-c", std::string(VELKO_PROTOCOL_FIXTURE) + " pointer <" + path});
    auto r2 = fromFile.wait(10s);
    ::unlink(path);
    EXPECT_FALSE(r2.timedOut);
    EXPECT_EQ(r2.status, 0);
}

TEST(StdinWatch, WaitingBytesAreReadInBlocksNotOneByOne) {
    auto child = fixture({"sentry"});
    ASSERT_TRUE(child.waitForOutLines(1));
    const double before = readCalls(child.pid());
    // The write returns once all but what the pipe holds has been read.
    child.writeStdin(std::string(std::size_t{1} << 20, 'x'));
    const double reads = readCalls(child.pid()) - before;
    EXPECT_LT(reads, 4096) << "a read per byte costs a system call and a wake-up each";
    child.closeStdin();
    EXPECT_EQ(child.wait().status, 0);
}

TEST(StdinWatch, ClosedStandardDescriptorsAtStartAreNotTakenByTheProgramsOwnFiles) {
    // A closed descriptor 0 (or 0 and 1) would be handed to the first file
    // the program opens, here a library's pipe: the watch would then read
    // that pipe for ever instead of seeing the end of its input.
    for (const char* closing : {"<&-", "<&- >&-"}) {
        auto child = ChildProcess::spawn(
            {"/bin/sh", "-c", "exec " + std::string(VELKO_PROTOCOL_FIXTURE) + " sentry-with-pipe " + closing});
        auto r = child.wait(5s);
        EXPECT_FALSE(r.timedOut) << closing;
        EXPECT_TRUE(r.exited) << closing;
        EXPECT_EQ(r.status, 0) << closing;
        if (std::string(closing) == "<&-") EXPECT_EQ(child.out(), "{\"event\":\"ready\"}\n");
    }
}

TEST(StdinWatch, AReadErrorThatRepeatsNeitherEndsTheProgramNorSpins) {
    // A directory as standard input: every read fails (EISDIR) and poll()
    // reports it readable for ever.
    for (const char* profile : {"sentry", "pointer"}) {
        auto child = ChildProcess::spawn(
            {"/bin/sh", "-c", "exec " + std::string(VELKO_PROTOCOL_FIXTURE) + " " + profile + " </"});
        ASSERT_TRUE(child.waitForOutLines(1)) << profile;
        double before = cpuSeconds(child.pid());
        EXPECT_FALSE(child.waitFor([] { return false; }, 1500ms)) << profile << " still runs";
        EXPECT_LT(cpuSeconds(child.pid()) - before, 0.3) << profile << " waits without using the CPU";
        child.sendSignal(SIGTERM);
        auto r = child.wait();
        EXPECT_TRUE(r.signaled) << profile;
        EXPECT_EQ(child.out(), "{\"event\":\"ready\"}\n") << profile;
    }
}

TEST(Sigpipe, AWriteToAClosedOutputEndsTheProcessBySignal) {
    auto child = fixture({"flood"});
    ASSERT_TRUE(child.waitForOutLines(1));
    child.closeStdout();
    auto r = child.wait();
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.signal, SIGPIPE);
}
