// velko-recorder on private sound servers: tones played into the two null
// sinks come out on the right channels at the rate asked for, default-source
// changes and a lost microphone are reported, signals flush, and nothing is
// left on the server afterwards.
#include "tests/e2e/pcm.h"
#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace velko::e2e {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const json kNotice = {
    {"event", "notice"}, {"code", "default_input_changed"}, {"message", "still recording the original microphone"}};
const json kStopped = {{"event", "stopped"}};

std::unique_ptr<SoundServer> startServer(ServerKind kind, bool warm = true) {
    std::string error;
    auto server = SoundServer::start(kind, warm, error);
    EXPECT_TRUE(server) << error;
    return server;
}

// A tone of `hz` into a sink for `seconds`, at half of full scale.
ChildProcess playTone(const SoundServer& server, const std::string& sink, int hz, double seconds) {
    std::ostringstream script;
    script << "sox -n -t raw -r 48000 -e float -b 32 -c 1 - synth " << seconds << " sine " << hz
           << " vol 0.5 | pacat --raw --format=float32le --rate=48000 --channels=1 --latency-msec=20 -d " << sink;
    return server.spawnShell(script.str());
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Keeps reading the recorder's streams for `duration`.
void keepRecording(ChildProcess& recorder, std::chrono::milliseconds duration) {
    recorder.waitFor([] { return false; }, duration);
}

// The index of the module that made null sink `sinkName`.
std::string moduleOf(const SoundServer& server, const std::string& sinkName) {
    for (const auto& line : server.modules()) {
        if (line.find("sink_name=" + sinkName) != std::string::npos) return line.substr(0, line.find('\t'));
    }
    return "";
}

struct ToneCase {
    ServerKind kind;
    int rate;
};

class RecorderTones : public ::testing::TestWithParam<ToneCase> {};

TEST_P(RecorderTones, MicrophoneLeftSystemAudioRight) {
    const auto [kind, rate] = GetParam();
    auto server = startServer(kind);
    ASSERT_TRUE(server);
    auto spawned = Clock::now();
    auto recorder = server->spawn({VELKO_RECORDER, "--sample-rate", std::to_string(rate)});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    auto ready = Clock::now();
    EXPECT_EQ(recorder.errEvents()[0], json({{"event", "ready"},
                                             {"sampleRate", rate},
                                             {"channels", 2},
                                             {"format", "s16le"},
                                             {"chunkMs", 200},
                                             {"inputBufferChannels", {2, 1}}}));

    keepRecording(recorder, 300ms); // some silence first
    auto mic = playTone(*server, "micfeed", 440, 1.5);
    auto system = playTone(*server, "speakers", 1000, 1.5);
    keepRecording(recorder, 1900ms);
    double closedAfter = secondsSince(spawned);
    double recordedAtLeast = secondsSince(ready);
    recorder.closeStdin();
    auto exit = recorder.wait();
    mic.wait();
    system.wait();

    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    auto lines = recorder.errEvents();
    ASSERT_EQ(lines.size(), 2u) << recorder.err();
    EXPECT_EQ(lines.back(), kStopped);
    ASSERT_EQ(recorder.out().size() % 4, 0u) << "whole frames only";

    auto pcm = decodeS16le(recorder.out());
    double seconds = static_cast<double>(pcm.frames()) / rate;
    // PulseAudio's null sinks keep to the system clock. PipeWire's fall
    // behind it here when the graph runs late (a parec on the same server
    // loses as much, up to an eighth of the time on this 2-core machine), so
    // there the frames only have to come close to the time recorded.
    double kept = kind == ServerKind::pulseaudio ? 1.0 : 0.8;
    EXPECT_GE(seconds, recordedAtLeast * kept - 0.1) << "frames for the whole time recorded";
    EXPECT_LE(seconds, closedAfter + 0.05) << "no more frames than time passed";

    auto tenth = static_cast<std::size_t>(rate / 10);
    EXPECT_LT(rms(pcm.left, 0, tenth), 0.01) << "silence before the tones";
    EXPECT_LT(rms(pcm.right, 0, tenth), 0.01);
    for (auto [channel, hz] : {std::pair{&pcm.left, 440.0}, std::pair{&pcm.right, 1000.0}}) {
        std::size_t start = onset(*channel, rate, 0.05);
        ASSERT_LT(start + 6 * tenth, pcm.frames()) << hz << " Hz tone missing";
        std::size_t from = start + 2 * tenth;
        EXPECT_GT(rms(*channel, from, 4 * tenth), 0.2) << "clearly above silence";
        EXPECT_NEAR(dominantFrequency(*channel, from, 4 * tenth, rate), hz, 10.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RecorderTones,
    ::testing::Values(ToneCase{ServerKind::pulseaudio, 48000}, ToneCase{ServerKind::pulseaudio, 16000},
                      ToneCase{ServerKind::pulseaudio, 44100}, ToneCase{ServerKind::pipewire, 48000}),
    [](const auto& info) { return kindName(info.param.kind) + "_" + std::to_string(info.param.rate); });

TEST(RecorderE2E, DefaultSourceChangesAreNoticedAndALostMicrophoneEndsTheRecording) {
    auto server = startServer(ServerKind::pulseaudio);
    ASSERT_TRUE(server);
    auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "50"});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();

    server->pactl({"load-module", "module-null-sink", "sink_name=othermic", "rate=48000"});
    server->pactl({"set-default-source", "othermic.monitor"});
    ASSERT_TRUE(recorder.waitForErrLines(2)) << recorder.err();
    server->pactl({"set-default-source", "speakers.monitor"});
    ASSERT_TRUE(recorder.waitForErrLines(3)) << recorder.err();
    auto before = recorder.out().size();
    keepRecording(recorder, 400ms);
    EXPECT_GT(recorder.out().size(), before) << "recording goes on";
    EXPECT_EQ(recorder.errEvents().size(), 3u) << "one notice per change";

    server->pactl({"unload-module", moduleOf(*server, "micfeed")});
    auto exit = recorder.wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 1);
    EXPECT_EQ(recorder.errEvents(),
              (std::vector<json>{recorder.errEvents()[0],
                                 kNotice,
                                 kNotice,
                                 {{"event", "error"}, {"code", "device_lost"}, {"message", "the microphone went away"}},
                                 kStopped}));
    EXPECT_EQ(recorder.out().size() % 4, 0u);
}

TEST(RecorderE2E, SystemAudioFollowsTheDefaultSink) {
    auto server = startServer(ServerKind::pulseaudio);
    ASSERT_TRUE(server);
    auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "50"});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    keepRecording(recorder, 100ms);
    // Frames already on standard output were recorded before the switch,
    // whatever the latencies of the two streams: the tone, started 300 ms
    // later, can only begin after them.
    auto switchedAt = recorder.out().size() / 4;
    server->pactl({"set-default-sink", "headphones"});
    keepRecording(recorder, 300ms);
    // What still plays on the old output is no longer the system's sound.
    auto now = playTone(*server, "headphones", 700, 1.0);
    auto before = playTone(*server, "speakers", 1000, 1.0);
    keepRecording(recorder, 1200ms);
    recorder.closeStdin();
    EXPECT_EQ(recorder.wait().status, 0);
    now.wait();
    before.wait();
    EXPECT_EQ(recorder.errEvents().size(), 2u) << "an output change is not an input change: " << recorder.err();

    auto pcm = decodeS16le(recorder.out());
    std::size_t start = onset(pcm.right, 48000, 0.05);
    ASSERT_GE(start, switchedAt);
    ASSERT_LT(start + 24000, pcm.frames()) << "no tone after the switch";
    EXPECT_NEAR(dominantFrequency(pcm.right, start + 4800, 14400, 48000), 700.0, 10.0);
}

TEST(RecorderE2E, SigtermWritesWhatIsPendingAndExitsZero) {
    auto server = startServer(ServerKind::pulseaudio);
    ASSERT_TRUE(server);
    // One-second chunks: everything recorded before the signal is pending.
    auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "1000"});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    auto ready = Clock::now();
    keepRecording(recorder, 600ms);
    EXPECT_EQ(recorder.out(), "") << "no whole chunk yet";
    double recorded = secondsSince(ready);
    recorder.sendSignal(SIGTERM);
    auto exit = recorder.wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(recorder.errEvents().back(), kStopped);
    ASSERT_EQ(recorder.out().size() % 4, 0u);
    double seconds = static_cast<double>(recorder.out().size()) / 4 / 48000.0;
    EXPECT_GT(seconds, recorded - 0.2);
    EXPECT_LT(seconds, recorded + 0.2);
}

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
    keepRecording(recorder, 500ms);
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

// 10 ms beeps every 250 ms for 6 s into a sink.
ChildProcess playBeeps(const SoundServer& server, const std::string& sink) {
    return server.spawnShell(
        "sox -n -t raw -r 48000 -e float -b 32 -c 1 - synth 0.01 sine 1000 vol 0.5 pad 0 0.24 repeat 23 | "
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
    keepRecording(recorder, 2000ms);
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
    ASSERT_GE(mic.size(), 20u) << "the reference heard the beeps";
    auto list = [](const std::vector<std::size_t>& onsets) {
        std::string text;
        for (auto at : onsets) text += std::to_string(at - onsets[0]) + " ";
        return text;
    };
    ASSERT_EQ(left.size(), mic.size()) << list(left) << "\n" << list(mic);
    ASSERT_EQ(right.size(), system.size()) << list(right) << "\n" << list(system);
    ASSERT_EQ(mic.size(), system.size());
    const auto since = [](const std::vector<std::size_t>& onsets, std::size_t i) {
        return static_cast<double>(onsets[i]) - static_cast<double>(onsets[0]);
    };
    for (std::size_t i = 1; i < left.size(); ++i) {
        SCOPED_TRACE("beep " + std::to_string(i) + ", in frames");
        EXPECT_NEAR(since(left, i), since(mic, i), 2400) << "microphone against what parec received";
        EXPECT_NEAR(since(right, i), since(system, i), 2400) << "system audio against what parec received";
        EXPECT_NEAR(since(right, i) - since(left, i), since(system, i) - since(mic, i), 96)
            << "the channels moved apart";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, RecorderWithFrozenServer,
                         ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& info) { return kindName(info.param); });

TEST(RecorderE2E, TwentyRecordingsLeaveNothingOnTheServer) {
    auto server = startServer(ServerKind::pulseaudio, false);
    ASSERT_TRUE(server);
    auto modules = server->modules();
    for (int i = 0; i < 20; ++i) {
        auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "20"});
        ASSERT_TRUE(recorder.waitForErrLines(1)) << "run " << i << ": " << recorder.err();
        EXPECT_FALSE(server->sourceOutputs().empty()) << "run " << i << " records";
        recorder.closeStdin();
        auto exit = recorder.wait();
        ASSERT_EQ(exit.status, 0) << "run " << i << ": " << recorder.err();
        ASSERT_EQ(recorder.errEvents().back(), kStopped);
    }
    EXPECT_TRUE(eventually([&] { return server->sourceOutputs().empty(); })) << "a stream was left behind";
    EXPECT_EQ(server->modules(), modules);
}

} // namespace
} // namespace velko::e2e
