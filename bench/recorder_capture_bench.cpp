// The recorder's capture path: captureBlock + flush on 512-frame IO cycles
// for three input layouts, against a memcpy of the same input bytes measured
// in the same run. Chunks go to /dev/null through the real output queue.
//
//   recorder_capture_bench [--benchmark_* flags]
#include "platform/audio/scripted.h"
#include "recorder/recorder.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace velko;

namespace {

constexpr std::int64_t kCycleFrames = 512;

struct Layout {
    std::string name;
    std::vector<std::uint32_t> channels; // per buffer; the last is the tap
};

const std::vector<Layout> kLayouts = {
    {"[1,1]", {1, 1}},
    {"[2,1]", {2, 1}},
    {"[1,1,1]", {1, 1, 1}},
};

audio::ScriptedBufferList makeCycle(const Layout& layout) {
    std::mt19937 random(42);
    std::uniform_real_distribution<float> sample(-1.1f, 1.1f);
    audio::ScriptedBufferList list;
    for (auto c : layout.channels) {
        std::vector<float> samples(static_cast<std::size_t>(kCycleFrames) * c);
        for (auto& s : samples) s = sample(random);
        list.add(c, samples);
    }
    return list;
}

std::size_t inputBytes(const audio::AudioBufferList* list) {
    std::size_t bytes = 0;
    for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) bytes += list->mBuffers[i].mDataByteSize;
    return bytes;
}

void captureCycles(benchmark::State& run, const Layout& layout) {
    audio::ScriptedHal hal;
    recorder::Recorder state(hal);
    state.tapBufferIndex = static_cast<std::int64_t>(layout.channels.size()) - 1;
    state.chunkFrames = recorder::computeChunkFrames(200, 48000.0);
    state.pending.reserve(static_cast<std::size_t>(4 * state.chunkFrames));
    state.outputQueue = dispatch::Queue::serial("velko.recorder.output", dispatch::Qos::unspecified);
    state.outputFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    auto cycle = makeCycle(layout);
    for (auto _ : run) recorder::captureBlock(state, cycle.list());
    state.outputQueue->sync([] {});
    ::close(state.outputFd);
    run.SetItemsProcessed(run.iterations() * kCycleFrames);
    run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(inputBytes(cycle.list())));
}

void copyCycles(benchmark::State& run, const Layout& layout) {
    auto cycle = makeCycle(layout);
    const auto* list = cycle.list();
    std::vector<char> destination(inputBytes(list));
    for (auto _ : run) {
        char* out = destination.data();
        for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) {
            std::memcpy(out, list->mBuffers[i].mData, list->mBuffers[i].mDataByteSize);
            out += list->mBuffers[i].mDataByteSize;
        }
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    run.SetItemsProcessed(run.iterations() * kCycleFrames);
    run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(destination.size()));
}

// Console output as usual, plus the frame rates kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) framesPerSecond[run.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> framesPerSecond;
};

} // namespace

int main(int argc, char** argv) {
    for (const auto& layout : kLayouts) {
        benchmark::RegisterBenchmark(("capture" + layout.name).c_str(),
                                     [&layout](benchmark::State& run) { captureCycles(run, layout); });
        benchmark::RegisterBenchmark(("memcpy" + layout.name).c_str(),
                                     [&layout](benchmark::State& run) { copyCycles(run, layout); });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-10s %16s %16s %10s %14s\n", "layout", "capture frames/s", "memcpy frames/s", "ratio",
                "x real time");
    for (const auto& layout : kLayouts) {
        double capture = reporter.framesPerSecond["capture" + layout.name];
        double copy = reporter.framesPerSecond["memcpy" + layout.name];
        if (capture <= 0 || copy <= 0) continue;
        // ratio: how many memcpys of the same input one capture cycle costs;
        // x real time: how much faster than a 48 kHz device delivers frames.
        std::printf("%-10s %16.3e %16.3e %10.2f %14.0f\n", layout.name.c_str(), capture, copy, copy / capture,
                    capture / 48000.0);
    }
    benchmark::Shutdown();
    return 0;
}
