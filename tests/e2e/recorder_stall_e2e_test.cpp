// velko-recorder while its sound server is frozen (SIGSTOP on the process
// that serves the pulse protocol): a stop still ends in bounded time, and a
// stall that passes leaves the recording as a plain client would have it,
// with the channels where they were. Kept apart from the other recorder
// tests because each freeze costs seconds.
#include "tests/e2e/pcm.h"
#include "tests/e2e/recording.h"
#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>

namespace velko::e2e {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using namespace std::chrono_literals;

const json& kStopped = stoppedLine();

// Keeps the sound server frozen for the life of the object.
class FrozenServer {
public:
    explicit FrozenServer(const SoundServer& server) : server_(server) { server_.signalServer(SIGSTOP); }
    ~FrozenServer() { server_.signalServer(SIGCONT); }
    FrozenServer(const FrozenServer&) = delete;
    FrozenServer& operator=(const FrozenServer&) = delete;

private:
    const SoundServer& server_;
};

class RecorderWithFrozenServer : public ::testing::TestWithParam<ServerKind> {};

TEST_P(RecorderWithFrozenServer, StopsInBoundedTimeAndWritesWhatItCaptured) {
    auto server = startServer(GetParam());
    ASSERT_TRUE(server);
    auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "1000"});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    // Long enough for a few of the streams' fragments (250 ms at this chunk
    // length) to have come before the freeze.
    keepRecording(recorder, 800ms);
    FrozenServer frozen(*server);
    keepRecording(recorder, 200ms);
    auto asked = Clock::now();
    // Both ways a host stops the recorder.
    if (GetParam() == ServerKind::pulseaudio) {
        recorder.sendSignal(SIGTERM);
    } else {
        recorder.closeStdin();
    }
    auto exit = recorder.wait(5s);
    double took = secondsSince(asked);
    RecordProperty("stopMs", static_cast<int>(took * 1000));
    EXPECT_TRUE(exit.exited) << "still waiting for the server";
    EXPECT_EQ(exit.status, 0);
    EXPECT_LT(took, 2.5) << "the stop waits about a second for the server, no more";
    EXPECT_EQ(recorder.errEvents().back(), kStopped);
    ASSERT_EQ(recorder.out().size() % 4, 0u);
    // Everything captured before the freeze (one pending chunk) comes out.
    EXPECT_GT(recorder.out().size() / 4, 48000u * 3 / 10);
}

// Where short beeps begin: the first sample that is not silent after 50 ms
// of silence (the null sinks add no noise).
std::vector<std::size_t> beepOnsets(const std::vector<float>& samples) {
    std::vector<std::size_t> onsets;
    std::size_t quiet = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        bool silent = std::abs(samples[i]) < 0.02f;
        if (!silent && quiet >= 2400) onsets.push_back(i);
        quiet = silent ? quiet + 1 : 0;
    }
    return onsets;
}

std::vector<float> decodeMonoS16le(const std::string& bytes) {
    std::vector<float> samples;
    for (std::size_t i = 0; i + 2 <= bytes.size(); i += 2) {
        auto value = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                               (static_cast<std::uint8_t>(bytes[i + 1]) << 8));
        samples.push_back(static_cast<float>(value) / 32768.0f);
    }
    return samples;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A plain client recording one source into a file, for comparison.
class Reference {
public:
    Reference(const SoundServer& server, const std::string& source) {
        char pattern[] = "/tmp/velko-parec-XXXXXX";
        int fd = ::mkstemp(pattern);
        EXPECT_GE(fd, 0);
        ::close(fd);
        path_ = pattern;
        child_.emplace(server.spawnShell("exec parec --raw --format=s16le --rate=48000 --channels=1 "
                                         "--latency-msec=10 -d " +
                                         source + " >" + path_));
    }
    ~Reference() { ::unlink(path_.c_str()); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    std::vector<float> stop() {
        child_->sendSignal(SIGINT);
        child_->wait();
        return decodeMonoS16le(readFile(path_));
    }

private:
    std::string path_;
    std::optional<ChildProcess> child_;
};

// 10 ms beeps every 250 ms for 4 s into a sink.
ChildProcess playBeeps(const SoundServer& server, const std::string& sink) {
    return server.spawnShell(
        "sox -n -t raw -r 48000 -e float -b 32 -c 1 - synth 0.01 sine 1000 vol 0.5 pad 0 0.24 repeat 15 | "
        "pacat --raw --format=float32le --rate=48000 --channels=1 --latency-msec=20 -d " +
        sink);
}

TEST_P(RecorderWithFrozenServer, AStallInventsNothingAndKeepsTheChannelsTogether) {
    auto server = startServer(GetParam());
    ASSERT_TRUE(server);
    auto spawned = Clock::now();
    auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "20"});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    Reference micReference(*server, "micfeed.monitor");
    Reference systemReference(*server, "speakers.monitor");
    keepRecording(recorder, 500ms);
    auto micBeeps = playBeeps(*server, "micfeed");
    auto systemBeeps = playBeeps(*server, "speakers");
    keepRecording(recorder, 1200ms);
    {
        FrozenServer frozen(*server);
        keepRecording(recorder, 1000ms);
    }
    micBeeps.wait(15s);
    systemBeeps.wait(15s);
    keepRecording(recorder, 1000ms);
    recorder.closeStdin();
    auto exit = recorder.wait();
    double wallTime = secondsSince(spawned);
    ASSERT_EQ(exit.status, 0) << recorder.err();

    auto pcm = decodeS16le(recorder.out());
    EXPECT_LE(static_cast<double>(pcm.frames()) / 48000, wallTime) << "no frames the server never delivered";
    // Each beep's place, counted from the first beep, in each channel and in
    // what a plain client received from the same source. The players stall
    // with the server too, so the truth is what the plain clients heard.
    auto left = beepOnsets(pcm.left), right = beepOnsets(pcm.right);
    auto mic = beepOnsets(micReference.stop()), system = beepOnsets(systemReference.stop());
    ASSERT_GE(mic.size(), 14u) << "the reference heard the beeps";
    auto list = [](const std::vector<std::size_t>& onsets) {
        std::string text;
        for (auto at : onsets) text += std::to_string(at - onsets[0]) + " ";
        return text;
    };
    ASSERT_EQ(left.size(), mic.size()) << list(left) << "\n" << list(mic);
    ASSERT_EQ(right.size(), system.size()) << list(right) << "\n" << list(system);
    ASSERT_GE(system.size(), 14u) << "the reference heard the beeps";
    const auto since = [](const std::vector<std::size_t>& onsets, std::size_t i) {
        return static_cast<double>(onsets[i]) - static_cast<double>(onsets[0]);
    };
    // The two sources' beeps, paired by time: the freeze can split a beep in
    // one player's stream (or lose one), so the sources need not count the
    // same beeps. Beeps are 12000 frames apart; the nearest one within half
    // of that is the partner.
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t i = 0; i < mic.size(); ++i) {
        std::size_t nearest = 0;
        for (std::size_t j = 1; j < system.size(); ++j) {
            if (std::abs(since(system, j) - since(mic, i)) < std::abs(since(system, nearest) - since(mic, i))) {
                nearest = j;
            }
        }
        if (std::abs(since(system, nearest) - since(mic, i)) < 6000) pairs.emplace_back(i, nearest);
    }
    ASSERT_GE(pairs.size(), 13u) << list(mic) << "\n" << list(system);
    double worstChannel = 0, worstOffset = 0;
    for (std::size_t i = 1; i < left.size(); ++i)
        worstChannel = std::max(worstChannel, std::abs(since(left, i) - since(mic, i)));
    for (std::size_t j = 1; j < right.size(); ++j) {
        worstChannel = std::max(worstChannel, std::abs(since(right, j) - since(system, j)));
    }
    const auto moved = [&](std::pair<std::size_t, std::size_t> pair) {
        auto [i, j] = pair;
        return (since(right, j) - since(left, i)) - (since(system, j) - since(mic, i));
    };
    for (auto pair : pairs) worstOffset = std::max(worstOffset, std::abs(moved(pair)));
    // Figures for the record (--gtest_output), in frames and seconds.
    RecordProperty("framesOverReference", static_cast<int>(worstChannel));
    RecordProperty("offsetMoved", static_cast<int>(worstOffset));
    RecordProperty("recordedMs", static_cast<int>(static_cast<double>(pcm.frames()) / 48));
    RecordProperty("wallMs", static_cast<int>(wallTime * 1000));
    for (std::size_t i = 1; i < left.size(); ++i) {
        SCOPED_TRACE("microphone beep " + std::to_string(i) + ", in frames");
        EXPECT_NEAR(since(left, i), since(mic, i), 2400) << "microphone against what parec received";
    }
    for (std::size_t j = 1; j < right.size(); ++j) {
        SCOPED_TRACE("system beep " + std::to_string(j) + ", in frames");
        EXPECT_NEAR(since(right, j), since(system, j), 2400) << "system audio against what parec received";
    }
    for (auto pair : pairs) {
        SCOPED_TRACE("beeps " + std::to_string(pair.first) + " and " + std::to_string(pair.second) + ", in frames");
        EXPECT_NEAR(moved(pair), 0, 96) << "the channels moved apart";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, RecorderWithFrozenServer,
                         ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& info) { return kindName(info.param); });

} // namespace
} // namespace velko::e2e
