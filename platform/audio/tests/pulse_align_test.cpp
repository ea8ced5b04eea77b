#include "platform/audio/pulse_align.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

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

    double firstPadAt = -1; // when a cycle first carried silence that no source sent

    Feed(std::uint32_t channels, std::uint32_t cycleFrames, std::uint32_t cyclesPerFragment = 1)
        : aligner(channels, cycleFrames, cyclesPerFragment), micChannels(channels) {}

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
            if (firstPadAt < 0 && (m.back() == 0.0f || t.back() == 0.0f)) firstPadAt = now;
            micOut.insert(micOut.end(), m.begin(), m.end());
            tapOut.insert(tapOut.end(), t.begin(), t.end());
            ++cycles;
        }
        largestBacklog = std::max({largestBacklog, aligner.micBacklog(), aligner.tapBacklog()});
    }
};

// Runs two sources from `from` to `to` seconds of simulated time at their
// own rates and burst sizes; a rate of 0 is a source that delivers nothing.
// The tap delivers `tapPhase` seconds after the microphone (by default a
// little out of phase). With `jitter`, each delivery comes late by up to that
// share of its burst's length (the same pattern on every run), as a server
// that wakes on a timer of its own does; the rates stay as given.
void simulate(Feed& run, double from, double to, double micRate, std::size_t micBurst, double tapRate,
              std::size_t tapBurst, double tapPhase = 0.0001, double jitter = 0) {
    const double never = 1e300;
    std::minstd_rand pattern(7);
    std::uniform_real_distribution<double> lateness(0.0, jitter);
    double micNominal = micRate > 0 ? from : never;
    double tapNominal = tapRate > 0 ? from + tapPhase : never;
    const double micLength = micRate > 0 ? static_cast<double>(micBurst) / micRate : 0;
    const double tapLength = tapRate > 0 ? static_cast<double>(tapBurst) / tapRate : 0;
    double micDue = micNominal + lateness(pattern) * micLength;
    double tapDue = tapNominal + lateness(pattern) * tapLength;
    while (std::min(micDue, tapDue) < to) {
        run.now = std::min(micDue, tapDue);
        if (micDue <= tapDue) {
            run.mic(micBurst);
            micNominal += micLength;
            micDue = std::max(run.now, micNominal + lateness(pattern) * micLength);
        } else {
            run.tap(tapBurst);
            tapNominal += tapLength;
            tapDue = std::max(run.now, tapNominal + lateness(pattern) * tapLength);
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

// The same rules when the server delivers in fragments longer than a cycle:
// bursts of a whole fragment, far apart, and the two sides up to a fragment
// out of step in ordinary running.
class FragmentSizes : public ::testing::TestWithParam<std::uint32_t> {
protected:
    std::uint32_t cycles() const { return GetParam(); }
    std::size_t fragment() const { return std::size_t{480} * cycles(); }
    double fragmentSeconds() const { return static_cast<double>(cycles()) * 0.01; }
    Feed feed() const { return Feed(1, 480, cycles()); }
};

void expectWholeAndSideBySide(const Feed& run) {
    ASSERT_EQ(run.micOut.size(), run.tapOut.size());
    for (std::size_t f = 0; f < run.micOut.size(); ++f) {
        ASSERT_EQ(run.micOut[f], static_cast<float>(f + 1)) << "every frame, once, in order";
        ASSERT_EQ(run.tapOut[f], run.micOut[f]) << "the two sides still side by side";
    }
}

TEST_P(FragmentSizes, SteadyBurstsInAnyPhaseLoseNothing) {
    for (double phase : {0.0001, 0.5, 0.97}) {
        SCOPED_TRACE(phase);
        Feed run = feed();
        simulate(run, 0.0, 20.0, 48000, fragment(), 48000, fragment(), phase * fragmentSeconds(), 0.3);
        const auto& c = run.aligner.corrections();
        EXPECT_EQ(c.micDropped + c.tapDropped + c.micPadded + c.tapPadded, 0u);
        EXPECT_GE(run.cycles, 2000u - 2 * cycles());
        expectWholeAndSideBySide(run);
        EXPECT_LE(run.largestBacklog, 3 * fragment()) << "a cycle goes out as soon as both sides hold it";
    }
}

TEST_P(FragmentSizes, DriftIsTakenUpAFewFramesAtATime) {
    // Clocks 1 % apart, either way round, for two minutes: a surplus of 480
    // frames a second, more than the allowance for uneven bursts (two
    // fragments) at every fragment size.
    for (bool tapFast : {true, false}) {
        SCOPED_TRACE(tapFast);
        Feed run = feed();
        simulate(run, 0.0, 120.0, tapFast ? 48000 : 48480, fragment(), tapFast ? 48480 : 48000, fragment(),
                 0.3 * fragmentSeconds(), 0.3);
        const auto& c = run.aligner.corrections();
        const double surplus = 480.0 * 120;
        const double dropped = static_cast<double>(tapFast ? c.tapDropped : c.micDropped);
        EXPECT_LE(dropped, surplus);
        EXPECT_GE(dropped, surplus - 480.0 - 4.0 * static_cast<double>(fragment())) << "all but a bounded backlog";
        EXPECT_EQ(c.micPadded + c.tapPadded, 0u);
        EXPECT_LE(run.largestBacklog, 480 + 5 * fragment()) << "bounded";
        const auto& fast = tapFast ? run.tapOut : run.micOut;
        float largestJump = 0;
        for (std::size_t f = 1; f < fast.size(); ++f) largestJump = std::max(largestJump, fast[f] - fast[f - 1]);
        EXPECT_LE(largestJump, 1.0f + 7.0f) << "never more than a few frames dropped in one place";
    }
}

TEST_P(FragmentSizes, ASideThatStopsIsPaddedOnceItHasSettled) {
    for (bool tapStops : {true, false}) {
        SCOPED_TRACE(tapStops);
        Feed run = feed();
        simulate(run, 0.0, 1.0, 48000, fragment(), 48000, fragment(), 0.5 * fragmentSeconds());
        ASSERT_LT(run.firstPadAt, 0.0);
        std::size_t before = run.cycles;
        simulate(run, 1.0, 5.0, tapStops ? 48000 : 0, fragment(), tapStops ? 0 : 48000, fragment(),
                 0.5 * fragmentSeconds());
        const double settle = static_cast<double>(run.aligner.settleUsec()) / 1e6;
        // Its last delivery was at most a fragment before the stop.
        EXPECT_GE(run.firstPadAt, 1.0 + settle - fragmentSeconds()) << "late, not stopped, until it has settled";
        EXPECT_LE(run.firstPadAt, 1.0 + settle + 4 * fragmentSeconds() + 0.05);
        EXPECT_GE(run.cycles - before, 400u - static_cast<std::size_t>((settle + 4 * fragmentSeconds() + 0.05) * 100))
            << "the live side keeps the cycles coming";
        const auto& stopped = tapStops ? run.tapOut : run.micOut;
        const auto& live = tapStops ? run.micOut : run.tapOut;
        EXPECT_EQ(stopped.back(), 0.0f) << "silence where nothing came";
        for (std::size_t f = 1; f < live.size(); ++f) ASSERT_EQ(live[f], live[f - 1] + 1) << "live side whole";
    }
}

TEST_P(FragmentSizes, AStallOfBothSidesNeitherInventsNorDropsFrames) {
    for (bool micFirst : {true, false}) {
        SCOPED_TRACE(micFirst);
        Feed run = feed();
        simulate(run, 0.0, 1.0, 48000, fragment(), 48000, fragment());
        // What each side owes after the stall: the frames from its last
        // delivery to 2 s.
        auto owed = [&](bool mic) {
            return std::size_t{96000} - static_cast<std::size_t>(mic ? run.micNext : run.tapNext);
        };
        auto deliver = [&](bool mic, std::size_t piece) {
            for (std::size_t left = owed(mic); left > 0; left = owed(mic)) {
                mic ? run.mic(std::min(piece, left)) : run.tap(std::min(piece, left));
            }
        };
        run.now = 2.0;
        deliver(micFirst, fragment());
        run.now = 2.03;
        deliver(!micFirst, 1024);
        simulate(run, 2.0 + fragmentSeconds(), 5.0, 48000, fragment(), 48000, fragment());
        const auto& c = run.aligner.corrections();
        EXPECT_EQ(c.micDropped + c.tapDropped + c.micPadded + c.tapPadded, 0u);
        EXPECT_GE(run.micOut.size(), 48000u * 4);
        expectWholeAndSideBySide(run);
    }
}

// 10, 50, 100 and 250 ms fragments.
INSTANTIATE_TEST_SUITE_P(CycleAligner, FragmentSizes, ::testing::Values(1u, 5u, 10u, 25u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& info) {
                             return std::to_string(info.param * 10) + "ms";
                         });

} // namespace
} // namespace velko::audio::pulse
