// The cost of one poll of velko-input-sentry: 50 process objects of which 5
// run input, on the scripted audio system. The figures include the scripted
// backend's own bookkeeping (a map lookup, a lock and a call-log entry per
// read, and clearing that log each iteration), so they are an upper bound
// for the logic itself.
#include "event-protocol/events.h"
#include "input-sentry/enumeration.h"
#include "input-sentry/poll_loop.h"
#include "platform/audio/scripted.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

using namespace velko::audio;
using namespace velko::audio::selector;
using namespace velko::input_sentry;

namespace {

void scriptFiftyProcesses(ScriptedHal& hal, int running) {
    std::vector<AudioObjectID> ids;
    for (AudioObjectID i = 0; i < 50; ++i) {
        AudioObjectID object = 1000 + i;
        ids.push_back(object);
        bool runs = static_cast<int>(i) < running;
        setProcessObject(hal, object,
                         {"com.example.app" + std::to_string(i),
                          runs ? 1u : 0u,
                          static_cast<std::int32_t>(500 + i),
                          {static_cast<AudioObjectID>(2000 + i % 3)}});
    }
    for (AudioObjectID d = 2000; d < 2003; ++d) {
        hal.setString(d, kAudioDevicePropertyDeviceUID, "AppleUSBAudioEngine:Vendor:Mic:" + std::to_string(d));
    }
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, ids);
}

void BM_ActiveInputProcesses(benchmark::State& bench) {
    ScriptedHal hal;
    scriptFiftyProcesses(hal, 5);
    for (auto _ : bench) {
        auto processes = activeInputProcesses(hal);
        benchmark::DoNotOptimize(processes);
        hal.clearCalls();
    }
}
BENCHMARK(BM_ActiveInputProcesses);

// A whole tick, its line written to /dev/null.
void pollTickBench(benchmark::State& bench, int running) {
    ScriptedHal hal;
    scriptFiftyProcesses(hal, running);
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    SentryState state(hal);
    std::size_t bytes = 0;
    state.emitLine = [&](const velko::events::Event& event) {
        if (auto line = velko::events::eventLine(event)) {
            velko::events::writeAll(devNull, *line);
            bytes += line->size();
        }
    };
    for (auto _ : bench) {
        pollTick(state);
        hal.clearCalls();
    }
    bench.counters["bytes/tick"] =
        benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(bench.iterations()));
    ::close(devNull);
}

void BM_PollTick_FiveRunningInput(benchmark::State& bench) { pollTickBench(bench, 5); }
BENCHMARK(BM_PollTick_FiveRunningInput);

// Nothing runs input: the quiet tick that an idle sentry pays each interval.
void BM_PollTick_Idle(benchmark::State& bench) { pollTickBench(bench, 0); }
BENCHMARK(BM_PollTick_Idle);

} // namespace
