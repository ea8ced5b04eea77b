// velko-input-sentry on a private sound server: real recording clients come
// and go, and the sentry's lines tell who records, since when and from what.
#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace velko::e2e {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using namespace std::chrono_literals;

json entry(const std::string& bundleId, pid_t pid, bool preexisting, const std::string& deviceUID) {
    return {{"bundleId", bundleId}, {"pid", pid}, {"preexisting", preexisting}, {"deviceUID", deviceUID}};
}

json inputLine(std::vector<json> processes) { return {{"event", "input"}, {"processes", json(std::move(processes))}}; }

class InputSentryE2E : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        std::string error;
        server_ = SoundServer::start(GetParam(), false, error);
        ASSERT_TRUE(server_) << error;
    }

    ChildProcess startStream(const std::vector<std::string>& args) {
        std::vector<std::string> argv{VELKO_TEST_STREAM};
        argv.insert(argv.end(), args.begin(), args.end());
        auto child = server_->spawn(argv);
        EXPECT_TRUE(child.waitForOutLines(1)) << "test stream did not start: " << child.err();
        return child;
    }

    // Waits for the sentry's next line that differs from the one before.
    json nextChange(ChildProcess& sentry, std::size_t& seen) {
        json last = seen > 0 ? sentry.outEvents().at(seen - 1) : json();
        json found;
        sentry.waitFor(
            [&] {
                auto lines = sentry.outEvents();
                for (; seen < lines.size(); ++seen) {
                    if (lines[seen] != last) {
                        found = lines[seen++];
                        return true;
                    }
                }
                return false;
            },
            5s);
        return found;
    }

    std::unique_ptr<SoundServer> server_;
};

TEST_P(InputSentryE2E, ListsRecordersWithPidDeviceAndPreexistingMark) {
    auto parecord = server_->spawn({"parecord", "--latency-msec=20", "-d", "micfeed.monitor", "/dev/null"});
    ASSERT_TRUE(eventually([&] { return server_->sourceOutputs().size() == 1; }));
    // A volume meter runs all along; it is not microphone use.
    auto meter = startStream({"--peak", "--rate", "25", "--name", "Peak detect", "--device", "micfeed.monitor"});

    auto sentry = server_->spawn({VELKO_INPUT_SENTRY, "--interval-ms", "200"});
    ASSERT_TRUE(sentry.waitForOutLines(2)) << sentry.err();
    EXPECT_EQ(sentry.outEvents()[0], json({{"event", "ready"}}));
    std::size_t seen = 2;
    auto first = sentry.outEvents()[1];
    if (first == inputLine({})) first = nextChange(sentry, seen); // the stream was not yet connected
    const auto preexisting = entry("pacat", parecord.pid(), true, "micfeed.monitor");
    EXPECT_EQ(first, inputLine({preexisting}));

    // A recorder that starts later is not pre-existing.
    auto late = startStream({"--device", "micfeed.monitor", "--app-id", "org.example.Late"});
    EXPECT_EQ(nextChange(sentry, seen),
              inputLine({entry("org.example.Late", late.pid(), false, "micfeed.monitor"), preexisting}));

    late.closeStdin();
    late.wait();
    EXPECT_EQ(nextChange(sentry, seen), inputLine({preexisting}));
    parecord.sendSignal(SIGINT);
    parecord.wait();
    EXPECT_EQ(nextChange(sentry, seen), inputLine({}));
    // Ten empty lines from the release on, then silence.
    std::size_t releaseLine = seen - 1;
    sentry.waitFor([&] { return sentry.outEvents().size() >= releaseLine + 10; }, 4s);
    sentry.waitFor([] { return false; }, 700ms);
    auto lines = sentry.outEvents();
    ASSERT_EQ(lines.size(), releaseLine + 10) << sentry.out();
    for (std::size_t i = releaseLine; i < lines.size(); ++i) EXPECT_EQ(lines[i], inputLine({}));

    sentry.closeStdin();
    auto exit = sentry.wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(sentry.err(), "");
}

TEST_P(InputSentryE2E, OurOwnRecorderIsListedLikeAnyOther) {
    auto recorder = server_->spawn({VELKO_RECORDER});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    auto sentry = server_->spawn({VELKO_INPUT_SENTRY, "--interval-ms", "200"});
    // Its microphone, not the monitor it also records, is its input device.
    const auto listed = inputLine({entry("velko-recorder", recorder.pid(), true, "micfeed.monitor")});
    EXPECT_TRUE(sentry.waitFor([&] {
        auto lines = sentry.outEvents();
        return std::find(lines.begin(), lines.end(), listed) != lines.end();
    })) << sentry.out();
    sentry.closeStdin();
    EXPECT_EQ(sentry.wait().status, 0);
    recorder.closeStdin();
    EXPECT_EQ(recorder.wait().status, 0);
}

TEST_P(InputSentryE2E, RecordersWithoutUsableNamesAreListedAllTheSame) {
    // Every name blanked: the process is named by what it runs.
    auto blank =
        server_->spawn({"parecord", "--property=application.name=", "--property=application.process.binary=",
                        "--property=application.id=", "--latency-msec=20", "-d", "micfeed.monitor", "/dev/null"});
    // Names that are not UTF-8: their bad bytes become U+FFFD.
    auto garbled = startStream({"--device", "micfeed.monitor", "--names", "fffe"});
    auto sentry = server_->spawn({VELKO_INPUT_SENTRY, "--interval-ms", "200"});
    const auto listed = inputLine({entry("parecord", blank.pid(), false, "micfeed.monitor"),
                                   entry("\xef\xbf\xbd\xef\xbf\xbd", garbled.pid(), false, "micfeed.monitor")});
    auto listedEither = [&](const json& line) {
        auto withPreexisting = line;
        for (auto& process : withPreexisting["processes"]) process["preexisting"] = false;
        return withPreexisting == listed;
    };
    EXPECT_TRUE(sentry.waitFor([&] {
        auto lines = sentry.outEvents();
        return std::any_of(lines.begin(), lines.end(), listedEither);
    })) << sentry.out();
    sentry.closeStdin();
    EXPECT_EQ(sentry.wait().status, 0);
    garbled.closeStdin();
    blank.sendSignal(SIGINT);
}

INSTANTIATE_TEST_SUITE_P(Servers, InputSentryE2E, ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& info) { return kindName(info.param); });

// While no server can be reached the sentry lists nobody; once one is back,
// it lists the processes that record again.
TEST(InputSentryServerLoss, RecoversWhenTheServerReturns) {
    std::string error;
    auto server = SoundServer::start(ServerKind::pulseaudio, false, error);
    ASSERT_TRUE(server) << error;
    auto before = server->spawn({"parecord", "--latency-msec=20", "-d", "micfeed.monitor", "/dev/null"});
    ASSERT_TRUE(eventually([&] { return server->sourceOutputs().size() == 1; }));
    auto sentry = server->spawn({VELKO_INPUT_SENTRY, "--interval-ms", "200"});
    auto lists = [&](const json& line) {
        return sentry.waitFor([&] {
            auto lines = sentry.outEvents();
            return !lines.empty() && lines.back() == line;
        });
    };
    EXPECT_TRUE(lists(inputLine({entry("pacat", before.pid(), true, "micfeed.monitor")}))) << sentry.out();

    server->killServer();
    EXPECT_TRUE(lists(inputLine({}))) << "nobody while there is no server: " << sentry.out();
    before.wait();

    server->reviveServer();
    auto after = server->spawn({"parecord", "--latency-msec=20", "-d", "micfeed.monitor", "/dev/null"});
    EXPECT_TRUE(lists(inputLine({entry("pacat", after.pid(), false, "micfeed.monitor")}))) << sentry.out();
    EXPECT_EQ(sentry.err(), "");
    sentry.closeStdin();
    EXPECT_EQ(sentry.wait().status, 0);
    after.sendSignal(SIGINT);
}

} // namespace
} // namespace velko::e2e
