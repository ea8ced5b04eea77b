// Chunked output in process: what each flush cuts from `pending`, and the
// bytes each write carries.
#include "recorder/recorder.h"
#include "recorder/tests/recording_queue.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

using namespace velko;
using namespace velko::recorder;
using namespace velko::recorder::testing;

namespace {

struct Output {
    explicit Output(std::int64_t chunkFrames) {
        state.chunkFrames = chunkFrames;
        state.tapBufferIndex = 1;
        auto queue = std::make_unique<RecordingQueue>();
        output = queue.get();
        state.outputFd = queue->fd();
        state.outputQueue = std::move(queue);
    }
    // Pending samples 0, 1, 2, ... (`n` of them).
    void pend(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) state.pending.push_back(static_cast<std::int16_t>(i));
    }
    audio::ScriptedHal hal;
    Recorder state{hal};
    RecordingQueue* output;
};

std::string sampleBytes(std::size_t first, std::size_t n) {
    std::string bytes;
    for (std::size_t i = first; i < first + n; ++i) {
        bytes.push_back(static_cast<char>(i & 0xff));
        bytes.push_back(static_cast<char>((i >> 8) & 0xff));
    }
    return bytes;
}

} // namespace

TEST(Flush, CutsWholeChunksOrEverythingWhenForced) {
    const std::size_t s = std::size_t{2} * 100; // samples per chunk of 100 frames
    struct Case {
        std::string name;
        std::size_t pending;
        bool force;
        std::vector<std::size_t> writes; // bytes of each write
        std::size_t left;                // samples still pending
    } cases[] = {
        {"exactly one chunk", s, false, {400}, 0},
        {"one frame short of a chunk", s - 2, false, {}, s - 2},
        {"two and a half chunks", s * 5 / 2, false, {400, 400}, s / 2},
        {"forced with nothing pending", 0, true, {}, 0},
        {"forced, one and a half chunks in one write", s * 3 / 2, true, {600}, 0},
        {"forced, less than a chunk", 6, true, {12}, 0},
    };
    for (const auto& c : cases) {
        Output o(100);
        o.pend(c.pending);
        flush(o.state, c.force);
        EXPECT_EQ(o.output->writes(), c.writes) << c.name;
        EXPECT_EQ(o.state.pending.size(), c.left) << c.name;
        // Writes carry the front of `pending`, in order; what stays is its tail.
        std::size_t written = c.pending - c.left;
        EXPECT_EQ(o.output->bytes(), sampleBytes(0, written)) << c.name;
        for (std::size_t i = 0; i < c.left; ++i) {
            ASSERT_EQ(o.state.pending[i], static_cast<std::int16_t>(written + i)) << c.name;
        }
    }
}

TEST(Flush, FirstChunkOf9600FramesDuringThe19thCycleOf512) {
    Output o(9600);
    for (int cycle = 1; cycle <= 19; ++cycle) {
        captureBlock(o.state, knownCycle(std::int64_t{cycle - 1} * 512, 512).list());
        EXPECT_EQ(o.output->writes().size(), cycle < 19 ? 0u : 1u) << cycle;
    }
    EXPECT_EQ(o.output->writes(), std::vector<std::size_t>{38400});
    EXPECT_EQ(o.state.pending.size(), 256u);
    EXPECT_EQ(o.output->bytes(), knownPcm(0, 9600));
    // The stream is the same whether the rest goes out forced or in chunks.
    flush(o.state, true);
    EXPECT_EQ(o.output->bytes(), knownPcm(0, std::int64_t{19} * 512));
}

TEST(Flush, OneFrameChunksAndLittleEndianBytes) {
    Output o(computeChunkFrames(10, 50.0)); // 0.5 frames, so 1
    EXPECT_EQ(o.state.chunkFrames, 1);
    o.state.pending = {-2, 1, 0x1234, -32768};
    flush(o.state);
    EXPECT_EQ(o.output->writes(), (std::vector<std::size_t>{4, 4}));
    EXPECT_EQ(o.output->bytes(), std::string("\xFE\xFF\x01\x00\x34\x12\x00\x80", 8));
}
