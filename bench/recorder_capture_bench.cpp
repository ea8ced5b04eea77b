// The recorder's capture path: captureBlock + flush on 512-frame IO cycles
// for three input layouts, against a memcpy of the same input bytes measured
// in the same run. Chunks go to /dev/null through the real output queue.
// Then, on the [1,1] layout: the capture path with its silence watch off and
// on (on sound, and on digital silence, where the watch scans whole cycles),
// and the rate converter's cost per second of audio against a memcpy of the
// same bytes.
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
#include <utility>
#include <vector>

using namespace velko;

namespace {

constexpr std::int64_t kCycleFrames = 512;

struct Layout {
    std::string name;
    std::vector<std::uint32_t> channels; // per buffer; the last is the tap
};

// Device rates a headset takes up for calls, and CD audio.
constexpr double kConvertedRates[] = {24000.0, 16000.0, 44100.0};

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

audio::ScriptedBufferList makeSilentCycle(const Layout& layout) {
    audio::ScriptedBufferList list;
    for (auto c : layout.channels) list.add(c, std::vector<float>(static_cast<std::size_t>(kCycleFrames) * c, 0.0f));
    return list;
}

std::size_t inputBytes(const audio::AudioBufferList* list) {
    std::size_t bytes = 0;
    for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) bytes += list->mBuffers[i].mDataByteSize;
    return bytes;
}

// How the capture path is set up: the silence watch on or off, and the rate
// the device runs at (the stream's is 48000 Hz).
struct Setup {
    bool watchSilence = true; // as in the program
    double deviceRate = 48000.0;
    bool zeros = false; // digital silence instead of noise
};

void captureCycles(benchmark::State& run, const Layout& layout, Setup setup = {}) {
    audio::ScriptedHal hal;
    recorder::Recorder state(hal);
    state.tapBufferIndex = static_cast<std::int64_t>(layout.channels.size()) - 1;
    state.actualRate = 48000.0;
    state.chunkFrames = recorder::computeChunkFrames(200, state.actualRate);
    state.pending.reserve(static_cast<std::size_t>(4 * state.chunkFrames));
    state.outputQueue = dispatch::Queue::serial("velko.recorder.output", dispatch::Qos::unspecified);
    state.outputFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    recorder::prepareHealth(state);
    if (!setup.watchSilence) state.health.silenceFrames = 0;
    state.health.deviceRate.store(setup.deviceRate);
    // Notices (of digital silence) are handed to a main queue nobody serves.
    state.health.emit = [](const events::Event&) {};
    auto cycle = setup.zeros ? makeSilentCycle(layout) : makeCycle(layout);
    for (auto _ : run) recorder::captureBlock(state, cycle.list());
    state.outputQueue->sync([] {});
    ::close(state.outputFd);
    run.SetItemsProcessed(run.iterations() * kCycleFrames);
    run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(inputBytes(cycle.list())));
}

// The converter alone on both channels, 10 ms cycles at `deviceRate`.
void resampleCycles(benchmark::State& run, double deviceRate) {
    auto resampler = recorder::Resampler::make(deviceRate, 48000.0);
    if (resampler == nullptr) {
        run.SkipWithError("no rate converter in this build");
        return;
    }
    const auto frames = static_cast<std::size_t>(deviceRate / 100);
    std::mt19937 random(42);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> mic(frames), tap(frames), outMic, outTap;
    for (std::size_t k = 0; k < frames; ++k) {
        mic[k] = sample(random);
        tap[k] = sample(random);
    }
    for (auto _ : run) {
        outMic.clear();
        outTap.clear();
        resampler->process(mic.data(), tap.data(), frames, outMic, outTap);
        benchmark::DoNotOptimize(outMic.data());
    }
    run.SetItemsProcessed(run.iterations() * static_cast<std::int64_t>(frames));
    run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(2 * frames * sizeof(float)));
}

// A memcpy of the bytes the converter takes in, per 10 ms of audio.
void copyRateBytes(benchmark::State& run, double deviceRate) {
    const auto frames = static_cast<std::size_t>(deviceRate / 100);
    std::vector<char> source(2 * frames * sizeof(float), 1), destination(source.size());
    for (auto _ : run) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    run.SetItemsProcessed(run.iterations() * static_cast<std::int64_t>(frames));
    run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(source.size()));
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
    const Layout& mono = kLayouts[0];
    const std::pair<const char*, Setup> variants[] = {
        {"capture/silence-watch-off/sound", {false, 48000.0, false}},
        {"capture/silence-watch-on/sound", {true, 48000.0, false}},
        {"capture/silence-watch-off/zeros", {false, 48000.0, true}},
        {"capture/silence-watch-on/zeros", {true, 48000.0, true}},
        {"capture/silence-watch-on/sound/from-24000-Hz", {true, 24000.0, false}},
    };
    for (const auto& [name, setup] : variants) {
        benchmark::RegisterBenchmark(name, [&mono, setup](benchmark::State& run) { captureCycles(run, mono, setup); });
    }
    for (double rate : kConvertedRates) {
        const std::string hz = std::to_string(static_cast<int>(rate));
        benchmark::RegisterBenchmark(("resample/" + hz).c_str(),
                                     [rate](benchmark::State& run) { resampleCycles(run, rate); });
        benchmark::RegisterBenchmark(("memcpy/" + hz).c_str(),
                                     [rate](benchmark::State& run) { copyRateBytes(run, rate); });
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
    auto fps = [&](const std::string& name) { return reporter.framesPerSecond[name]; };
    std::printf("\n%-34s %16s %10s\n", "capture [1,1]", "frames/s", "vs off");
    for (const char* input : {"sound", "zeros"}) {
        const double off = fps(std::string("capture/silence-watch-off/") + input);
        const double on = fps(std::string("capture/silence-watch-on/") + input);
        if (off <= 0 || on <= 0) continue;
        std::printf("%-34s %16.3e %10s\n", (std::string("silence watch off, ") + input).c_str(), off, "1.00");
        // > 1: the watch makes a cycle this much more expensive.
        std::printf("%-34s %16.3e %10.3f\n", (std::string("silence watch on, ") + input).c_str(), on, off / on);
    }
    if (double converted = fps("capture/silence-watch-on/sound/from-24000-Hz"); converted > 0) {
        std::printf("%-34s %16.3e %10.3f  (input frames; twice as many come out)\n", "converting from 24000 Hz",
                    converted, fps("capture/silence-watch-on/sound") / converted);
    }
    std::printf("\n%-22s %18s %18s %10s\n", "converter to 48000 Hz", "CPU us per s audio", "memcpy us per s", "ratio");
    for (double rate : kConvertedRates) {
        const std::string hz = std::to_string(static_cast<int>(rate));
        const double convert = fps("resample/" + hz);
        const double copy = fps("memcpy/" + hz);
        if (convert <= 0 || copy <= 0) continue;
        // Frames per second of CPU at the device's rate: one second of
        // audio costs rate / that many seconds.
        std::printf("%-22s %18.1f %18.2f %10.1f\n", (hz + " Hz").c_str(), 1e6 * rate / convert, 1e6 * rate / copy,
                    copy / convert);
    }
    benchmark::Shutdown();
    return 0;
}
