// The capture pipeline across its threads, in process: IO cycles arrive on
// `ioQueue` from another thread while the main thread stops the device, and
// every cycle that was accepted before the stop reaches the output, in
// order, with nothing after it. Runs under ThreadSanitizer too.
#include "recorder/recorder.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <atomic>
#include <thread>

using namespace velko;
using namespace velko::recorder;
using namespace velko::recorder::testing;
using namespace std::chrono_literals;

namespace {

std::string readAll(int fd) {
    std::string all(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    if (!all.empty() && ::pread(fd, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size())) all.clear();
    return all;
}

} // namespace

TEST(Pipeline, StopWhileCyclesArriveLosesNothingAccepted) {
    for (std::int64_t chunkMs : {10, 200}) {
        audio::ScriptedHal hal;
        scriptWorkingSystem(hal);
        Recorder state(hal);
        state.chunkMs = chunkMs;
        state.outputFd = ::memfd_create("pipeline", MFD_CLOEXEC);
        startCapture(state);
        EXPECT_EQ(hal.lastLatencyTolerance(), std::chrono::milliseconds(chunkMs))
            << "the backend hears the chunk length";

        std::atomic<std::int64_t> accepted{0};
        std::thread feeder([&] {
            std::int64_t next = 0;
            while (hal.deliverCycle(knownCycle(next, 256))) {
                next += 256;
                accepted.store(next);
            }
        });
        while (accepted.load() < 50L * 256) std::this_thread::sleep_for(1ms);
        stopCapture(state);
        feeder.join();

        EXPECT_EQ(readAll(state.outputFd), knownPcm(0, accepted.load())) << chunkMs;
        EXPECT_TRUE(state.pending.empty());
        auto calls = hal.callLog();
        EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
                  (std::vector<std::string>{"deviceStop 200", "destroyIOProcID 200", "destroyAggregateDevice 200",
                                            "destroyProcessTap 100"}));
        ::close(state.outputFd);
    }
}
