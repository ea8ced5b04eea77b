// The recording's health in process: runs of exact zeros on either channel
// become one notice at 5 s and one when sound returns, with whether the
// default output is in use; a device that changes its rate under the
// recording is converted back to the announced rate without a gap. The
// capture callback runs on the test's thread; the main queue is served in
// between, as the run loop would.
#include "recorder/recorder.h"
#include "recorder/tests/recording_queue.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

using namespace velko;
using namespace velko::recorder;
using namespace velko::recorder::testing;
using namespace audio::selector;
using namespace std::chrono_literals;
using audio::ScriptedBufferList;
using nlohmann::json;

namespace {

constexpr audio::AudioObjectID kSpeaker = 60;

// A recorder as start-up leaves it at 48000 Hz, its notices collected.
struct Watched {
    Watched() {
        scriptWorkingSystem(hal);
        audio::setDefaultOutput(hal, kSpeaker, false);
        state.aggregateID = kAggregate;
        state.rateAddress = audio::globalAddress(kAudioDevicePropertyNominalSampleRate);
        state.actualRate = 48000.0;
        state.tapBufferIndex = 1;
        state.chunkFrames = 1 << 22; // nothing is written until the test flushes
        auto queue = std::make_unique<RecordingQueue>();
        output = queue.get();
        state.outputFd = queue->fd();
        state.outputQueue = std::move(queue);
        state.health.emit = [this](const json& line) { notices.push_back(line); };
        prepareHealth(state);
    }
    // Hand-overs still queued refer to this recorder: they run while it is.
    ~Watched() { served(); }

    // `count` cycles of `frames` frames holding `mic` and `tap` throughout.
    void cycles(int count, float mic, float tap, std::size_t frames = 480) {
        ScriptedBufferList list;
        list.add(1, std::vector<float>(frames, mic)).add(1, std::vector<float>(frames, tap));
        for (int i = 0; i < count; ++i) captureBlock(state, list.list());
    }
    // The notices written once the main queue has run what was handed to it.
    std::vector<json> served() {
        bool done = false;
        dispatch::Queue::main().async([&done] { done = true; });
        EXPECT_TRUE(dispatch::runMainUntil([&done] { return done; }, 5s));
        return std::exchange(notices, {});
    }
    std::vector<std::string> servedCodes() {
        std::vector<std::string> codes;
        for (const auto& line : served()) codes.push_back(line.at("code"));
        return codes;
    }

    audio::ScriptedHal hal;
    Recorder state{hal};
    RecordingQueue* output = nullptr;
    std::vector<json> notices;
};

} // namespace

TEST(Silence, OneNoticeAtFiveSecondsOfZerosAndOneWhenSoundReturns) {
    const float sound = 0.25f;
    struct Case {
        std::string name;
        float mic, tap; // the samples of the silent stretch
        std::vector<std::string> silent, resumed;
    } cases[] = {
        {"microphone", 0.0f, sound, {"microphone_silent"}, {"microphone_resumed"}},
        {"system audio", sound, 0.0f, {"system_audio_silent"}, {"system_audio_resumed"}},
        {"both at once",
         0.0f,
         0.0f,
         {"microphone_silent", "system_audio_silent"},
         {"microphone_resumed", "system_audio_resumed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Watched w;
        w.cycles(1, sound, sound);
        // 4.9 s of zeros, then sound: nothing to tell.
        w.cycles(490, c.mic, c.tap);
        w.cycles(1, sound, sound);
        EXPECT_EQ(w.servedCodes(), std::vector<std::string>{});
        // One zero frame short of 5 s: still nothing; the frame that makes
        // 5 s brings the notice, and more zeros bring no other.
        w.cycles(499, c.mic, c.tap);
        w.cycles(1, c.mic, c.tap, 479);
        EXPECT_EQ(w.servedCodes(), std::vector<std::string>{});
        w.cycles(1, c.mic, c.tap, 1);
        EXPECT_EQ(w.servedCodes(), c.silent);
        w.cycles(300, c.mic, c.tap);
        EXPECT_EQ(w.servedCodes(), std::vector<std::string>{});
        // The first sound ends the silence, once.
        w.cycles(1, sound, sound);
        w.cycles(50, sound, sound);
        EXPECT_EQ(w.servedCodes(), c.resumed);
    }
}

TEST(Silence, ThresholdIsFiveSecondsAtTheAnnouncedRate) {
    struct Case {
        double rate;
        std::int64_t frames;
    } cases[] = {
        {48000.0, 240000},
        {44100.0, 220500},
        {16000.0, 80000},
        {22050.5, 110252},
        {1e-300, 1000},
        {std::nan(""), 1000},
        {0.0, 1000},
        {1e300, 9'000'000'000'000'000},
        {std::numeric_limits<double>::infinity(), 9'000'000'000'000'000},
    };
    for (const auto& c : cases) EXPECT_EQ(computeSilenceFrames(c.rate), c.frames) << c.rate;
}

TEST(Silence, ZerosInsideSoundNeverCount) {
    // A signal that is zero in every other sample, and a tone that crosses
    // zero exactly, for 6 s: no notice.
    Watched w;
    std::vector<float> everyOther, tone;
    for (int k = 0; k < 480; ++k) {
        everyOther.push_back(k % 2 == 0 ? 0.0f : 0.5f);
        tone.push_back(static_cast<float>(std::sin(2 * std::numbers::pi * k / 48.0)));
    }
    ScriptedBufferList list;
    list.add(1, everyOther).add(1, tone);
    for (int i = 0; i < 600; ++i) captureBlock(w.state, list.list());
    EXPECT_EQ(w.servedCodes(), std::vector<std::string>{});
}

TEST(Silence, SystemAudioNoticeTellsWhetherTheOutputIsInUse) {
    struct Case {
        std::string name;
        std::function<void(audio::ScriptedHal&)> script;
        bool outputActive;
    } cases[] = {
        {"another process plays", [](audio::ScriptedHal& h) { audio::setDefaultOutput(h, kSpeaker, true); }, true},
        {"nothing plays", [](audio::ScriptedHal& h) { audio::setDefaultOutput(h, kSpeaker, false); }, false},
        {"no default output device",
         [](audio::ScriptedHal& h) { audio::setDefaultOutput(h, audio::kUnknownObject, true); }, false},
        {"the running read fails",
         [](audio::ScriptedHal& h) {
             audio::setDefaultOutput(h, kSpeaker, true);
             h.setStatus(kSpeaker, kAudioDevicePropertyDeviceIsRunningSomewhere, audio::kAudioHardwareBadObjectError);
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Watched w;
        c.script(w.hal);
        w.cycles(500, 0.25f, 0.0f);
        auto notices = w.served();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].at("event"), "notice");
        EXPECT_EQ(notices[0].at("code"), "system_audio_silent");
        EXPECT_EQ(notices[0].at("outputActive"), c.outputActive);
        // Silence while something plays points at the permission.
        const std::string message = notices[0].at("message");
        EXPECT_EQ(message.find("permission") != std::string::npos, c.outputActive) << message;
        EXPECT_EQ(notices[0].size(), 4u);
    }
}

namespace {

constexpr double kToneHz = 1000.0;
// A 1 kHz tone of amplitude `gain` at time t seconds.
float tone(double t, double gain) { return static_cast<float>(gain * std::sin(2 * std::numbers::pi * kToneHz * t)); }

// Frames [first, first + count) of the tone at `rate`, as one cycle whose
// system audio is the microphone's tone at half the level.
ScriptedBufferList toneCycle(double startSeconds, double rate, std::size_t count) {
    std::vector<float> mic, tap;
    for (std::size_t k = 0; k < count; ++k) {
        double t = startSeconds + static_cast<double>(k) / rate;
        mic.push_back(tone(t, 0.5));
        tap.push_back(tone(t, 0.25));
    }
    ScriptedBufferList list;
    list.add(1, mic).add(1, tap);
    return list;
}

std::vector<std::int16_t> samplesOf(const std::string& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                               (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

} // namespace

TEST(DeviceRate, ChangedRateIsConvertedBackToTheAnnouncedOneWithoutAGap) {
    Watched w;
    installRateListener(w.state);
    EXPECT_EQ(w.served(), std::vector<json>{}); // the device is at the announced rate

    // One second at each rate: 48000, 24000, 48000 Hz, in 10 ms cycles of a
    // tone that runs on through the changes, as the room's sound would.
    double seconds = 0;
    std::vector<json> notices;
    for (double rate : {48000.0, 24000.0, 48000.0}) {
        if (seconds > 0) {
            w.hal.setValue(kAggregate, kAudioDevicePropertyNominalSampleRate, rate);
            w.hal.notify(kAggregate, kAudioDevicePropertyNominalSampleRate);
            for (auto& line : w.served()) notices.push_back(line);
        }
        const auto frames = static_cast<std::size_t>(rate / 100);
        for (int i = 0; i < 100; ++i) {
            captureBlock(w.state, toneCycle(seconds, rate, frames).list());
            seconds += 0.01;
        }
    }
    flush(w.state, true);

    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].at("code"), "device_rate_changed");
    EXPECT_EQ(notices[0].at("deviceRate"), 24000.0);
    EXPECT_EQ(notices[1].at("code"), "device_rate_changed");
    EXPECT_EQ(notices[1].at("deviceRate"), 48000.0);

    const auto samples = samplesOf(w.output->bytes());
    const std::size_t frames = samples.size() / 2;
    // The frames keep the time: 3 s at the announced 48000 Hz.
    EXPECT_NEAR(static_cast<double>(frames), 3 * 48000.0, 0.005 * 3 * 48000.0);

    // The tone stays at 1 kHz: sign changes of the microphone over the run.
    int crossings = 0;
    for (std::size_t j = 1; j < frames; ++j) {
        if ((samples[2 * j] >= 0) != (samples[2 * (j - 1)] >= 0)) ++crossings;
    }
    EXPECT_NEAR(crossings / 2.0 / 3.0, kToneHz, 0.005 * kToneHz);

    // Sample by sample, both channels are the tone at 48000 Hz with the
    // phase it has in the room, except within the converter's transient at
    // each change: libsoxr's high-quality filter, linear phase, settles
    // within its delay (about 5.4 ms, 260 frames, at 24000 -> 48000 Hz);
    // 10 ms either side of a change is allowed for.
    constexpr std::size_t kTransient = 480;
    const std::size_t changes[] = {48000, 96000};
    std::size_t disturbed = 0;
    for (std::size_t j = 0; j < frames; ++j) {
        bool nearChange = false;
        for (auto at : changes) nearChange = nearChange || (j + kTransient >= at && j <= at + kTransient);
        const double t = static_cast<double>(j) / 48000.0;
        const double micError = std::abs(samples[2 * j] - tone(t, 0.5) * 32767.0);
        const double tapError = std::abs(samples[2 * j + 1] - tone(t, 0.25) * 32767.0);
        if (micError > 8 || tapError > 8) {
            ++disturbed;
            EXPECT_TRUE(nearChange) << "frame " << j << ": " << micError << ", " << tapError;
            if (!nearChange) break;
        }
    }
    // The change is not free: the transient is there, and only there.
    EXPECT_GT(disturbed, 0u);
}

TEST(DeviceRate, RatesThatCannotBeReadOrUsedChangeNothing) {
    Watched w;
    installRateListener(w.state);
    for (double rate : {0.0, -24000.0, std::nan(""), 1e12}) {
        w.hal.setValue(kAggregate, kAudioDevicePropertyNominalSampleRate, rate);
        w.hal.notify(kAggregate, kAudioDevicePropertyNominalSampleRate);
        EXPECT_EQ(w.served(), std::vector<json>{}) << rate;
    }
    w.hal.setStatus(kAggregate, kAudioDevicePropertyNominalSampleRate, -1);
    w.hal.notify(kAggregate, kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(w.served(), std::vector<json>{});
    // The same rate notified twice is one change.
    w.hal.property(kAggregate, kAudioDevicePropertyNominalSampleRate).readStatus = audio::kNoErr;
    for (int i = 0; i < 2; ++i) {
        w.hal.setValue(kAggregate, kAudioDevicePropertyNominalSampleRate, 16000.0);
        w.hal.notify(kAggregate, kAudioDevicePropertyNominalSampleRate);
    }
    EXPECT_EQ(w.servedCodes(), std::vector<std::string>{"device_rate_changed"});
    // 160 frames a cycle at 16000 Hz come out as 480 at 48000 Hz.
    w.cycles(100, 0.25f, 0.25f, 160);
    // What the converter holds back goes out with the stop.
    finishRateConversion(w.state);
    flush(w.state, true);
    EXPECT_NEAR(static_cast<double>(w.output->bytes().size()) / 4, 48000.0, 0.005 * 48000.0);
}
