// The capture callback in process: frame counts, downmix, conversion and
// interleave, fed with made-up buffer lists.
#include "recorder/recorder.h"
#include "recorder/tests/recording_queue.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace velko;
using namespace velko::recorder;
using namespace velko::recorder::testing;
using audio::ScriptedBufferList;

namespace {

// A recorder state as start-up leaves it, with chunks large enough that
// nothing is flushed unless a test asks for it.
struct Capture {
    explicit Capture(std::int64_t tapBufferIndex, std::int64_t chunkFrames = 1 << 20) {
        state.tapBufferIndex = tapBufferIndex;
        state.chunkFrames = chunkFrames;
        auto queue = std::make_unique<RecordingQueue>();
        output = queue.get();
        state.outputFd = queue->fd();
        state.outputQueue = std::move(queue);
    }
    audio::ScriptedHal hal;
    Recorder state{hal};
    RecordingQueue* output;
};

std::vector<float> constant(std::size_t n, float v) { return std::vector<float>(n, v); }

std::vector<std::int16_t> knownSamples(std::int64_t first, std::int64_t count) {
    std::vector<std::int16_t> samples;
    for (std::int64_t k = first; k < first + count; ++k) {
        samples.push_back(micValue(k));
        samples.push_back(tapValue(k));
    }
    return samples;
}

// `frames` frames of (mic, tap).
std::vector<std::int16_t> frames(std::size_t n, std::int16_t mic, std::int16_t tap) {
    std::vector<std::int16_t> samples;
    for (std::size_t k = 0; k < n; ++k) {
        samples.push_back(mic);
        samples.push_back(tap);
    }
    return samples;
}

} // namespace

TEST(ClampToInt16, Table) {
    const float belowOne = std::nextafter(1.0f, 0.0f);
    const float firstFullNegative = -1.000030517578125f; // -(1 + 2^-15)
    struct Case {
        float x;
        std::int16_t result;
    } cases[] = {
        {0.0f, 0},
        {-0.0f, 0},
        {0.1f, 3276},
        {0.5f, 16383},
        {-0.5f, -16383},
        {1.0f, 32767},
        {-1.0f, -32767},
        {1.5f, 32767},
        {-2.0f, -32768},
        {firstFullNegative, -32768},
        {std::nextafter(firstFullNegative, 0.0f), -32767},
        {belowOne, 32766},
        {std::numeric_limits<float>::infinity(), 32767},
        {-std::numeric_limits<float>::infinity(), -32768},
        {std::numeric_limits<float>::quiet_NaN(), 0},
        {-std::numeric_limits<float>::quiet_NaN(), 0},
        {std::numeric_limits<float>::signaling_NaN(), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(clampToInt16(c.x), c.result) << c.x;
}

TEST(MonoDownmix, MeanOfTheChannelsAndSilenceWhereThereIsNoData) {
    ScriptedBufferList stereo;
    stereo.add(2, {0.5f, -0.5f, 0.25f, 0.75f, 1.0f, 0.0f});
    ScriptedBufferList three;
    three.add(3, {0.3f, 0.3f, 0.3f});
    ScriptedBufferList nulls;
    nulls.addNull(1, 64).add(0, {0.5f, 0.5f}).add(1, {0.5f, 0.25f});
    const auto* s = stereo.list()->mBuffers;
    EXPECT_EQ(monoDownmix(s[0], 3), (std::vector<float>{0.0f, 0.5f, 0.5f}));
    // Fewer frames than asked: the rest are zeros.
    EXPECT_EQ(monoDownmix(s[0], 5), (std::vector<float>{0.0f, 0.5f, 0.5f, 0.0f, 0.0f}));
    EXPECT_EQ(monoDownmix(s[0], 0), std::vector<float>{});
    // A sum times the reciprocal, not a division.
    const float r = 1.0f / 3.0f;
    EXPECT_EQ(monoDownmix(three.list()->mBuffers[0], 1), (std::vector<float>{(0.3f + 0.3f + 0.3f) * r}));
    const audio::AudioBuffer* n = nulls.list()->mBuffers;
    EXPECT_EQ(monoDownmix(n[0], 2), (std::vector<float>{0.0f, 0.0f}));  // null data
    EXPECT_EQ(monoDownmix(n[1], 2), (std::vector<float>{0.0f, 0.0f}));  // no channels
    EXPECT_EQ(monoDownmix(n[2], 2), (std::vector<float>{0.5f, 0.25f})); // one channel: unchanged
}

TEST(CaptureBlock, FrameCountsDownmixAndInterleave) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto known = [](std::int64_t n) { return knownCycle(0, n); };
    struct Case {
        std::string name;
        std::int64_t tapBufferIndex;
        ScriptedBufferList input;
        std::vector<std::int16_t> appended;
    } cases[] = {
        {"512 + 512 frames, microphone first", 1, known(512), knownSamples(0, 512)},
        {"tap of 480 frames beside 512: cut to 480", 1,
         [] {
             std::vector<float> mic, tap;
             for (int k = 0; k < 512; ++k) mic.push_back(sampleFor(micValue(k)));
             for (int k = 0; k < 480; ++k) tap.push_back(sampleFor(tapValue(k)));
             ScriptedBufferList l;
             l.add(1, mic).add(1, tap);
             return l;
         }(),
         knownSamples(0, 480)},
        {"empty microphone buffer silences the cycle",
         1,
         [] {
             ScriptedBufferList l;
             l.add(1, {}, 0).add(1, constant(512, 0.5f));
             return l;
         }(),
         {}},
        {"tap with null data: right channel silent", 1,
         [] {
             ScriptedBufferList l;
             l.add(1, constant(4, 0.5f)).addNull(1, 16);
             return l;
         }(),
         frames(4, 16383, 0)},
        {"stereo microphone buffer",
         1,
         [] {
             ScriptedBufferList l;
             l.add(2, {0.5f, -0.5f, 0.5f, 0.5f}).add(1, {0.1f, 0.1f});
             return l;
         }(),
         {0, 3276, 16383, 3276}},
        {"two microphone buffers: mean of 0.25 and 0.75",
         2,
         [] {
             ScriptedBufferList l;
             l.add(1, {0.25f}).add(1, {0.75f}).add(1, {0.0f});
             return l;
         }(),
         {16383, 0}},
        {"two microphone buffers, one null: half the other",
         2,
         [] {
             ScriptedBufferList l;
             l.addNull(1, 8).add(1, {0.5f, -0.5f}).add(1, {0.0f, 0.0f});
             return l;
         }(),
         {8191, 0, -8191, 0}},
        {"only tapBufferIndex buffers: skipped", 2, known(16), {}},
        {"4100 bytes hold 1025 frames", 1,
         [] {
             ScriptedBufferList l;
             l.add(1, constant(1025, 0.5f), 4100).add(1, constant(2000, 0.5f));
             return l;
         }(),
         frames(1025, 16383, 16383)},
        {"4102 bytes still hold 1025 frames", 1,
         [] {
             ScriptedBufferList l;
             l.add(1, constant(1025, 0.5f), 4102).add(1, constant(2000, 0.5f));
             return l;
         }(),
         frames(1025, 16383, 16383)},
        {"short buffer beyond the tap shortens the cycle", 1,
         [] {
             auto l = knownCycle(0, 512);
             l.add(1, constant(100, 0.9f));
             return l;
         }(),
         knownSamples(0, 100)},
        {"zero channels count as one for the frame count and carry silence", 1,
         [] {
             ScriptedBufferList l;
             l.add(0, constant(3, 0.5f)).add(1, constant(3, 0.5f));
             return l;
         }(),
         frames(3, 0, 16383)},
        {"a channel count that would wrap 32 bits holds no frame",
         1,
         [] {
             ScriptedBufferList l;
             l.add(0x40000001u, constant(4, 0.5f)).add(1, constant(4, 0.5f));
             return l;
         }(),
         {}},
        {"not-a-number samples are silence and leave their neighbours alone",
         1,
         [nan] {
             ScriptedBufferList l;
             l.add(1, {0.5f, nan, -0.5f}).add(1, {nan, 0.25f, nan});
             return l;
         }(),
         {16383, 0, 0, 8191, -16383, 0}},
    };
    for (auto& c : cases) {
        Capture capture(c.tapBufferIndex);
        captureBlock(capture.state, c.input.list());
        EXPECT_EQ(capture.state.pending, c.appended) << c.name;
        EXPECT_TRUE(capture.output->writes().empty()) << c.name;
    }
}

TEST(CaptureBlock, AppendsBehindWhatIsPendingAndFlushesWholeChunks) {
    Capture capture(1, 1000);
    captureBlock(capture.state, knownCycle(0, 600).list());
    EXPECT_TRUE(capture.output->writes().empty());
    captureBlock(capture.state, knownCycle(600, 600).list());
    EXPECT_EQ(capture.output->writes(), std::vector<std::size_t>{4000});
    EXPECT_EQ(capture.output->bytes(), knownPcm(0, 1000));
    EXPECT_EQ(capture.state.pending, knownSamples(1000, 200));
    // A skipped cycle neither appends nor flushes.
    capture.state.chunkFrames = 1;
    ScriptedBufferList empty;
    empty.add(1, {}, 0).add(1, constant(8, 0.5f));
    captureBlock(capture.state, empty.list());
    EXPECT_EQ(capture.output->writes().size(), 1u);
    EXPECT_EQ(capture.state.pending.size(), 400u);
}
