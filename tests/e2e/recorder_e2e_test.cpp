// velko-recorder on private sound servers: tones played into the two null
// sinks come out on the right channels at the rate asked for, default-source
// changes and a lost microphone are reported, signals flush, and nothing is
// left on the server afterwards.
#include "tests/e2e/pcm.h"
#include "tests/e2e/recording.h"
#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace velko::e2e {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using namespace std::chrono_literals;

const json kNotice = {
    {"event", "notice"}, {"code", "default_input_changed"}, {"message", "still recording the original microphone"}};
const json& kStopped = stoppedLine();

// A tone of `hz` into a sink for `seconds`, at half of full scale.
ChildProcess playTone(const SoundServer& server, const std::string& sink, int hz, double seconds) {
    std::ostringstream script;
    script << "sox -n -t raw -r 48000 -e float -b 32 -c 1 - synth " << seconds << " sine " << hz
           << " vol 0.5 | pacat --raw --format=float32le --rate=48000 --channels=1 --latency-msec=20 -d " << sink;
    return server.spawnShell(script.str());
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

// The codes of the notices written so far.
std::vector<std::string> noticeCodes(const ChildProcess& recorder) {
    std::vector<std::string> codes;
    for (const auto& line : recorder.errEvents()) {
        if (line.value("event", "") == "notice") codes.push_back(line.value("code", ""));
    }
    return codes;
}

// The last notice with `code`, or null.
json lastNotice(const ChildProcess& recorder, const std::string& code) {
    json found;
    for (const auto& line : recorder.errEvents()) {
        if (line.value("event", "") == "notice" && line.value("code", "") == code) found = line;
    }
    return found;
}

TEST(RecorderE2E, SilentSourcesAreNoticedOnceAndSoundEndsTheirSilence) {
    auto server = startServer(ServerKind::pulseaudio);
    ASSERT_TRUE(server);
    // A microphone tone that lasts the whole recording, from a file so that
    // its player is one process that the test can stop.
    char dirTemplate[] = "/tmp/velko-silence-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    for (auto [name, hz] : {std::pair{"mic", 440}, std::pair{"system", 1000}}) {
        auto made = server->run({"sox", "-n", "-t", "raw", "-r", "48000", "-e", "float", "-b", "32", "-c", "1",
                                 dir + "/" + name + ".raw", "synth", "40", "sine", std::to_string(hz), "vol", "0.5"});
        ASSERT_EQ(made.status, 0) << made.err;
    }
    auto play = [&](const std::string& file, const std::string& sink) {
        return server->spawnShell(
            "exec pacat --raw --format=float32le --rate=48000 --channels=1 --latency-msec=20 -d " + sink + " " + file);
    };
    auto mic = play(dir + "/mic.raw", "micfeed");
    auto recorder = server->spawn({VELKO_RECORDER, "--chunk-ms", "50"});
    ASSERT_TRUE(recorder.waitForErrLines(1)) << recorder.err();
    auto seen = [&](std::size_t n) { return [&recorder, n] { return noticeCodes(recorder).size() >= n; }; };

    // Nothing plays to the default sink: after 5 s the system audio is
    // reported silent, with nothing playing; the microphone is not.
    ASSERT_TRUE(recorder.waitFor(seen(1), 20s)) << recorder.err();
    EXPECT_EQ(noticeCodes(recorder), std::vector<std::string>{"system_audio_silent"});
    EXPECT_EQ(lastNotice(recorder, "system_audio_silent").value("outputActive", true), false) << recorder.err();

    // A player on the default sink ends that silence.
    auto system = play(dir + "/system.raw", "speakers");
    ASSERT_TRUE(recorder.waitFor(seen(2), 10s)) << recorder.err();
    EXPECT_EQ(noticeCodes(recorder).back(), "system_audio_resumed");

    // The microphone's source muted, and digital silence played to the
    // default sink: both are reported, the system audio with its output in
    // use (which points at a missing permission on a Mac).
    system.sendSignal(SIGTERM);
    system.wait();
    auto zeros = server->spawnShell("exec pacat --raw --latency-msec=20 -d speakers </dev/zero");
    server->pactl({"set-source-mute", "micfeed.monitor", "1"});
    ASSERT_TRUE(recorder.waitFor(seen(4), 20s)) << recorder.err();
    auto codes = noticeCodes(recorder);
    std::sort(codes.begin() + 2, codes.end());
    EXPECT_EQ(std::vector<std::string>(codes.begin() + 2, codes.end()),
              (std::vector<std::string>{"microphone_silent", "system_audio_silent"}));
    EXPECT_EQ(lastNotice(recorder, "system_audio_silent").value("outputActive", false), true) << recorder.err();

    server->pactl({"set-source-mute", "micfeed.monitor", "0"});
    ASSERT_TRUE(recorder.waitFor(seen(5), 10s)) << recorder.err();
    EXPECT_EQ(noticeCodes(recorder).back(), "microphone_resumed");

    recorder.closeStdin();
    auto exit = recorder.wait();
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(recorder.errEvents().back(), kStopped);
    EXPECT_EQ(noticeCodes(recorder).size(), 5u) << "one notice per change: " << recorder.err();
    EXPECT_EQ(recorder.out().size() % 4, 0u);
    mic.sendSignal(SIGTERM);
    zeros.sendSignal(SIGTERM);
    mic.wait();
    zeros.wait();
    std::filesystem::remove_all(dir);
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

TEST(RecorderE2E, ClosedStandardInputAndOutputAtStartEndTheRecordingCleanly) {
    auto server = startServer(ServerKind::pulseaudio, false);
    ASSERT_TRUE(server);
    // Without /dev/null in their place, the sound library's own pipe would
    // take descriptors 0 and 1: the recorder would read its input from that
    // pipe, never see its end, and write its PCM into it.
    auto recorder = server->spawnShell(std::string("exec ") + VELKO_RECORDER + " <&- >&-");
    auto exit = recorder.wait(5s);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    auto lines = recorder.errEvents();
    ASSERT_EQ(lines.size(), 2u) << recorder.err();
    EXPECT_EQ(lines[0]["event"], "ready");
    EXPECT_EQ(lines[1], kStopped);
}

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
