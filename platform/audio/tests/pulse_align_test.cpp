#include "platform/audio/pulse_align.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace velko::audio::pulse {
namespace {

// Feeds two sources in bursts on their own schedules and collects every
// cycle. Each source counts its frames, so what comes out shows where frames
// were lost, repeated or padded.
struct Feed {
    CycleAligner aligner;
    std::uint32_t micChannels;
    double micNext = 0, tapNext = 0; // next frame value of each source
    std::vector<float> micOut, tapOut;
    std::size_t cycles = 0;
    std::size_t largestBacklog = 0;
    double now = 0; // seconds: when the next push happens

    Feed(std::uint32_t channels, std::uint32_t cycleFrames) : aligner(channels, cycleFrames), micChannels(channels) {}

    std::uint64_t nowUsec() const { return static_cast<std::uint64_t>(now * 1e6); }

    void mic(std::size_t frames) {
        std::vector<float> samples;
        samples.reserve(frames * micChannels);
        for (std::size_t f = 0; f < frames; ++f) {
            micNext += 1;
            for (std::uint32_t c = 0; c < micChannels; ++c) samples.push_back(static_cast<float>(micNext));
        }
        aligner.pushMic(samples.data(), frames, nowUsec());
        drain();
    }
    void tap(std::size_t frames) {
        std::vector<float> samples(frames);
        for (auto& sample : samples) sample = static_cast<float>(tapNext += 1);
        aligner.pushTap(samples.data(), frames, nowUsec());
        drain();
    }
    void drain() {
        std::vector<float> m, t;
        while (aligner.nextCycle(m, t)) {
            ASSERT_EQ(m.size(), aligner.cycleFrames() * micChannels);
            ASSERT_EQ(t.size(), aligner.cycleFrames());
            micOut.insert(micOut.end(), m.begin(), m.end());
            tapOut.insert(tapOut.end(), t.begin(), t.end());
            ++cycles;
        }
        largestBacklog = std::max({largestBacklog, aligner.micBacklog(), aligner.tapBacklog()});
    }
};

// Runs two sources from `from` to `to` seconds of simulated time at their
// own rates and burst sizes; a rate of 0 is a source that delivers nothing.
void simulate(Feed& run, double from, double to, double micRate, std::size_t micBurst, double tapRate,
              std::size_t tapBurst) {
    const double never = 1e300;
    double micDue = micRate > 0 ? from : never;
    double tapDue = tapRate > 0 ? from + 0.0001 : never; // a little out of phase
    while (std::min(micDue, tapDue) < to) {
        run.now = std::min(micDue, tapDue);
        if (micDue <= tapDue) {
            run.mic(micBurst);
            micDue += static_cast<double>(micBurst) / micRate;
        } else {
            run.tap(tapBurst);
            tapDue += static_cast<double>(tapBurst) / tapRate;
        }
    }
    run.now = to;
}

TEST(CycleAligner, EvenBurstsPassThroughUntouched) {
    Feed run(2, 480);
    for (int i = 0; i < 100; ++i) {
        run.mic(480);
        run.tap(480);
    }
    EXPECT_EQ(run.cycles, 100u);
    for (std::size_t f = 0; f < run.tapOut.size(); ++f) {
        ASSERT_EQ(run.tapOut[f], static_cast<float>(f + 1));
        ASSERT_EQ(run.micOut[2 * f], static_cast<float>(f + 1)) << "interleaved, in order";
        ASSERT_EQ(run.micOut[2 * f + 1], static_cast<float>(f + 1));
    }
    const auto& c = run.aligner.corrections();
    EXPECT_EQ(c.micDropped + c.tapDropped + c.micPadded + c.tapPadded, 0u);
}

TEST(CycleAligner, UnevenBurstsOnOneClockLoseNothing) {
    // A server that delivers one side in small pieces and the other in
    // large ones, out of phase: every frame still comes through, in order.
    Feed run(1, 480);
    simulate(run, 0.0, 10.0, 48000, 256, 48000, 1024);
    EXPECT_GT(run.cycles, 950u);
    for (std::size_t f = 0; f < run.micOut.size(); ++f) {
        ASSERT_EQ(run.micOut[f], static_cast<float>(f + 1));
        ASSERT_EQ(run.tapOut[f], static_cast<float>(f + 1));
    }
    const auto& c = run.aligner.corrections();
    EXPECT_EQ(c.micDropped + c.tapDropped + c.micPadded + c.tapPadded, 0u);
    EXPECT_LE(run.largestBacklog, 480u + 3 * 1024u + 1024u);
}

TEST(CycleAligner, DriftIsTakenUpAFewFramesAtATime) {
    // Clocks 0.5 % apart, either way round, for a minute.
    for (bool tapFast : {true, false}) {
        Feed run(1, 480);
        simulate(run, 0.0, 60.0, tapFast ? 48000 : 48240, 480, tapFast ? 48240 : 48000, 480);
        const auto& c = run.aligner.corrections();
        std::uint64_t dropped = tapFast ? c.tapDropped : c.micDropped;
        EXPECT_NEAR(static_cast<double>(dropped), 240.0 * 60, 480.0 * 3) << "the surplus, less a small backlog";
        EXPECT_EQ(c.micPadded + c.tapPadded, 0u);
        EXPECT_LE(run.largestBacklog, 480u * 5) << "bounded";
        EXPECT_NEAR(static_cast<double>(run.cycles), 6000.0, 10.0) << "paced by the slower clock";
        // Dropped a few frames at a time: the fast side's frames advance
        // by at most a small step from one output frame to the next.
        const auto& fast = tapFast ? run.tapOut : run.micOut;
        float largestJump = 0;
        for (std::size_t f = 1; f < fast.size(); ++f) largestJump = std::max(largestJump, fast[f] - fast[f - 1]);
        EXPECT_LE(largestJump, 1.0f + 7.0f);
    }
}

TEST(CycleAligner, ASideThatStopsIsPaddedWithSilenceAndNothingStalls) {
    for (bool tapStops : {true, false}) {
        Feed run(1, 480);
        simulate(run, 0.0, 1.0, 48000, 480, 48000, 480);
        std::size_t before = run.cycles;
        simulate(run, 1.0, 3.0, tapStops ? 48000 : 0, 480, tapStops ? 0 : 48000, 480);
        EXPECT_GE(run.cycles - before, 190u) << "the live side keeps the cycles coming";
        const auto& stopped = tapStops ? run.tapOut : run.micOut;
        const auto& live = tapStops ? run.micOut : run.tapOut;
        EXPECT_EQ(stopped.back(), 0.0f) << "silence where nothing came";
        for (std::size_t f = 1; f < live.size(); ++f) ASSERT_EQ(live[f], live[f - 1] + 1) << "live side whole";
        // The live side waits a quarter of a second before the other counts
        // as stopped, not merely late.
        EXPECT_LE(run.largestBacklog, 480u * 28);
    }
}

TEST(CycleAligner, AStallOfBothSidesNeitherInventsNorDropsFrames) {
    // Both sides go quiet for a second (the server stalled), then deliver
    // their backlogs one after the other, in pieces of their own, and go on.
    for (bool micFirst : {true, false}) {
        Feed run(1, 480);
        simulate(run, 0.0, 1.0, 48000, 480, 48000, 480);
        run.now = 2.0;
        for (int piece = 0; piece < 100; ++piece) micFirst ? run.mic(480) : run.tap(480);
        run.now = 2.03;
        for (int piece = 0; piece < 46; ++piece) micFirst ? run.tap(1024) : run.mic(1024);
        micFirst ? run.tap(48000 - 46 * 1024) : run.mic(48000 - 46 * 1024);
        simulate(run, 2.05, 4.0, 48000, 480, 48000, 480);
        const auto& c = run.aligner.corrections();
        EXPECT_EQ(c.micDropped + c.tapDropped + c.micPadded + c.tapPadded, 0u) << micFirst;
        ASSERT_EQ(run.micOut.size(), run.tapOut.size());
        EXPECT_GE(run.micOut.size(), 48000u * 3 - 960);
        for (std::size_t f = 0; f < run.micOut.size(); ++f) {
            ASSERT_EQ(run.micOut[f], static_cast<float>(f + 1)) << "every frame, once, in order";
            ASSERT_EQ(run.tapOut[f], run.micOut[f]) << "the two sides still side by side";
        }
    }
}

TEST(CycleAligner, ABacklogDeliveredAtOnceIsDroppedAtOnce) {
    Feed run(1, 480);
    simulate(run, 0.0, 1.0, 48000, 480, 48000, 480);
    run.tap(std::size_t{48000} * 2); // two seconds after a pause
    run.mic(480);
    EXPECT_LE(run.aligner.tapBacklog(), 480u * 30);
    EXPECT_GE(run.aligner.corrections().tapDropped, 48000u);
}

TEST(CycleAligner, HolesAreSilence) {
    CycleAligner aligner(1, 4);
    std::vector<float> ones(4, 1.0f);
    aligner.pushMic(nullptr, 4, 0);
    aligner.pushTap(ones.data(), 4, 0);
    std::vector<float> mic, tap;
    ASSERT_TRUE(aligner.nextCycle(mic, tap));
    EXPECT_EQ(mic, std::vector<float>(4, 0.0f));
    EXPECT_EQ(tap, ones);
    EXPECT_FALSE(aligner.nextCycle(mic, tap));
}

} // namespace
} // namespace velko::audio::pulse
