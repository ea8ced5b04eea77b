// The running recorder as a whole program: the PCM stream on standard
// output, and every way it ends (end of standard input, SIGINT, SIGTERM, a
// lost microphone) or goes on (a new default input device, a slow reader).
#include "recorder/tests/recorder_child.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>

using namespace velko;
using namespace velko::recorder::testing;
using audio::ScriptedHal;
using nlohmann::json;
using namespace audio::selector;

namespace {

const json kStopped = {{"event", "stopped"}};
const json kDeviceLost = {{"event", "error"}, {"code", "device_lost"}, {"message", "the microphone went away"}};
const json kNotice = {
    {"event", "notice"}, {"code", "default_input_changed"}, {"message", "still recording the original microphone"}};

std::vector<json> linesAfterReady(velko::testing::ChildProcess& child) {
    auto lines = child.errEvents();
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return {};
    EXPECT_EQ(lines[0]["event"], "ready");
    return std::vector<json>(lines.begin() + 1, lines.end());
}

bool sawStopped(const velko::testing::ChildProcess& child) {
    return child.err().find(R"({"event":"stopped"})") != std::string::npos;
}

} // namespace

TEST(Running, EndOfStandardInputWritesEveryFrameThenStopped) {
    auto recorder = RecorderChild::start({"--chunk-ms", "10"}, {}, [](Feeder& f) {
        f.waitUntilWatching();
        // 5120 frames: ten chunks of 480 and 320 left over.
        if (f.cycles(10, 512)) f.ack();
    });
    auto& child = recorder.process();
    ASSERT_TRUE(recorder.waitForAck(1));
    child.writeStdin("anything the host writes is ignored\n");
    child.closeStdin();
    auto result = child.wait(5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(child.out(), knownPcm(0, 5120));
    EXPECT_EQ(linesAfterReady(child), std::vector<json>{kStopped});
}

TEST(Running, StandardInputAtEndOfFileFromTheStart) {
    auto recorder = RecorderChild::start({});
    auto& child = recorder.process();
    child.closeStdin();
    auto result = child.wait(5s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(child.out(), "");
    EXPECT_EQ(linesAfterReady(child), std::vector<json>{kStopped});
}

TEST(Running, SigtermWritesWhatIsPendingAsTheLastWrite) {
    // 9600-frame chunks: one chunk goes out while running, and 3000 frames
    // are pending when SIGTERM arrives.
    auto recorder = RecorderChild::start({}, {}, [](Feeder& f) {
        f.waitUntilWatching();
        if (f.cycles(25, 504)) f.ack(); // 12600 frames
    });
    auto& child = recorder.process();
    ASSERT_TRUE(recorder.waitForAck(1));
    ASSERT_TRUE(child.waitFor([&] { return child.out().size() >= 38400; }, 5s));
    EXPECT_EQ(child.out().size(), 38400u); // nothing beyond the whole chunk yet
    child.sendSignal(SIGTERM);
    auto result = child.wait(5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(child.out().size(), 38400u + 12000u);
    EXPECT_EQ(child.out(), knownPcm(0, 12600));
    EXPECT_EQ(linesAfterReady(child), std::vector<json>{kStopped});
}

TEST(Running, SigintStopsOnceEvenWhenSentTwice) {
    for (int sends : {1, 2}) {
        for (int cycles : {0, 3}) {
            SCOPED_TRACE(std::to_string(sends) + " SIGINT after " + std::to_string(cycles) + " cycles");
            auto recorder = RecorderChild::start({}, {}, [cycles](Feeder& f) {
                f.waitUntilWatching();
                if (f.cycles(cycles, 100)) f.ack();
            });
            auto& child = recorder.process();
            ASSERT_TRUE(recorder.waitForAck(1));
            for (int i = 0; i < sends; ++i) child.sendSignal(SIGINT);
            auto result = child.wait(5s);
            EXPECT_TRUE(result.exited);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(child.out(), knownPcm(0, std::int64_t{cycles} * 100));
            EXPECT_EQ(linesAfterReady(child), std::vector<json>{kStopped});
        }
    }
}

TEST(Running, DeviceAliveNotifications) {
    struct Case {
        std::string name;
        std::function<void(ScriptedHal&)> change;
        bool lost;
    } cases[] = {
        {"no longer alive",
         [](ScriptedHal& h) { h.setValue(kMic, kAudioDevicePropertyDeviceIsAlive, std::uint32_t{0}); }, true},
        {"is-alive read fails",
         [](ScriptedHal& h) {
             h.setStatus(kMic, kAudioDevicePropertyDeviceIsAlive, audio::kAudioHardwareBadObjectError);
         },
         true},
        {"still alive", [](ScriptedHal&) {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto recorder = RecorderChild::start({"--chunk-ms", "10"}, {}, [&c](Feeder& f) {
            f.waitUntilWatching();
            if (!f.cycles(3, 500)) return;
            c.change(f.hal);
            f.hal.notify(kMic, kAudioDevicePropertyDeviceIsAlive);
            // Recording goes on until the notification is handled; after a
            // loss the device may already be stopped.
            if (f.cycles(1, 500)) f.ack();
        });
        auto& child = recorder.process();
        if (!c.lost) {
            ASSERT_TRUE(recorder.waitForAck(1));
            child.closeStdin();
        }
        auto result = child.wait(5s);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, c.lost ? 1 : 0);
        auto lines = linesAfterReady(child);
        EXPECT_EQ(lines, c.lost ? (std::vector<json>{kDeviceLost, kStopped}) : std::vector<json>{kStopped});
        // Everything captured up to the stop is written out first.
        std::size_t frames = child.out().size() / 4;
        EXPECT_EQ(child.out().size() % 4, 0u);
        EXPECT_GE(frames, 1500u);
        EXPECT_EQ(child.out(), knownPcm(0, static_cast<std::int64_t>(frames)));
        if (!c.lost) {
            EXPECT_EQ(frames, 2000u);
        }
    }
}

TEST(Running, DefaultInputChangeIsNoticedAndRecordingGoesOn) {
    auto recorder = RecorderChild::start({"--chunk-ms", "10"}, {}, [](Feeder& f) {
        f.waitUntilWatching();
        if (!f.cycles(2, 512)) return;
        f.hal.setValue(audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice, audio::AudioObjectID{77});
        f.hal.notify(audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice);
        f.hal.notify(audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice);
        if (f.cycles(2, 512)) f.ack();
    });
    auto& child = recorder.process();
    ASSERT_TRUE(recorder.waitForAck(1));
    ASSERT_TRUE(child.waitForErrLines(3));
    child.closeStdin();
    auto result = child.wait(5s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(linesAfterReady(child), (std::vector<json>{kNotice, kNotice, kStopped}));
    EXPECT_EQ(child.out(), knownPcm(0, 2048));
    // The recording never moved to the new default device.
    for (const auto& call : recorder.callLog()) EXPECT_EQ(call.find(" 77 "), std::string::npos) << call;
}

TEST(Running, DeviceRateChangeIsNoticedAndTheStreamKeepsTheAnnouncedRate) {
    auto recorder = RecorderChild::start({"--chunk-ms", "10"}, {}, [](Feeder& f) {
        f.waitUntilWatching();
        if (!f.hal.waitForCalls("addPropertyListener", 3, 5s) || !f.cycles(3, 480)) return;
        auto reads = [&f] {
            auto calls = f.hal.callLog();
            return std::count(calls.begin(), calls.end(), "getPropertyData 200 nsrt glob");
        };
        const auto before = reads();
        f.hal.setValue(kAggregate, kAudioDevicePropertyNominalSampleRate, 24000.0);
        f.hal.notify(kAggregate, kAudioDevicePropertyNominalSampleRate);
        // The listener has read the new rate before the device's cycles come.
        for (int i = 0; i < 500 && reads() == before; ++i) std::this_thread::sleep_for(1ms);
        for (int i = 0; i < 100; ++i) {
            audio::ScriptedBufferList cycle;
            cycle.add(1, std::vector<float>(240, 0.25f)).add(1, std::vector<float>(240, -0.25f));
            if (!f.hal.deliverCycleAndWait(std::move(cycle))) return;
        }
        f.ack();
    });
    auto& child = recorder.process();
    ASSERT_TRUE(recorder.waitForAck(1));
    child.closeStdin();
    auto result = child.wait(5s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(linesAfterReady(child),
              (std::vector<json>{{{"event", "notice"},
                                  {"code", "device_rate_changed"},
                                  {"deviceRate", 24000.0},
                                  {"message", "the device now runs at 24000 Hz; the stream stays at 48000 Hz by "
                                              "resampling"}},
                                 kStopped}));
    // 1440 frames at 48000 Hz, then one second at 24000 Hz written as 48000
    // frames, the converter's delay included (the stop drains it).
    ASSERT_EQ(child.out().size() % 4, 0u);
    EXPECT_NEAR(static_cast<double>(child.out().size()) / 4, 1440 + 48000, 0.005 * 48000);
}

TEST(Running, SlowReaderDoesNotStallCaptureAndStoppedFollowsTheLastByte) {
    // 400 KiB of PCM against a pipe of 64 KiB that nobody reads.
    auto recorder = RecorderChild::start({"--chunk-ms", "10"}, {}, [](Feeder& f) {
        f.waitUntilWatching();
        if (f.cycles(200, 512)) f.ack();
    });
    auto& child = recorder.process();
    ASSERT_TRUE(recorder.waitForAck(1, 5s, /*readStdout=*/false)) << "capture stalled behind standard output";
    child.closeStdin();
    // The shutdown is waiting for the writes, so "stopped" cannot be out yet.
    EXPECT_FALSE(child.waitFor([&] { return sawStopped(child); }, 300ms, /*readStdout=*/false));
    auto result = child.wait(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(child.out(), knownPcm(0, std::int64_t{200} * 512));
    EXPECT_EQ(linesAfterReady(child), std::vector<json>{kStopped});
}

namespace {

// In the child: standard output on `path` (opened with `flags`).
void outputTo(const char* path, int flags) {
    int fd = ::open(path, flags);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(91);
    ::close(fd);
}

// The recorder stopped on its own after a failed write, for `reason`.
void expectStoppedByOutputFailure(velko::testing::ChildProcess& child, const std::string& reason) {
    auto result = child.wait(5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    const json failed = {
        {"event", "error"}, {"code", "output_failed"}, {"message", "could not write to standard output: " + reason}};
    EXPECT_EQ(linesAfterReady(child), (std::vector<json>{failed, kStopped}));
}

} // namespace

TEST(Running, AFailedWriteIsReportedAndStopsTheRecording) {
    // Standard output on a device that is always full.
    auto recorder = RecorderChild::start(
        {"--chunk-ms", "10"}, [](ScriptedHal&) { outputTo("/dev/full", O_WRONLY); },
        [](Feeder& f) {
            f.waitUntilWatching();
            f.cycles(10, 512);
        });
    expectStoppedByOutputFailure(recorder.process(), "No space left on device");
}

TEST(Running, NothingIsWrittenAfterAFailedWriteEvenOnceWritesWouldWorkAgain) {
    // A file that may grow to 4800 bytes (two and a half 480-frame chunks),
    // as a disk with that much room; once it is full, room is made again.
    char path[] = "/tmp/velko-output-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string file = path;
    auto setLimit = [](rlim_t bytes) {
        rlimit limit{bytes, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    auto recorder = RecorderChild::start(
        {"--chunk-ms", "10"},
        [&](ScriptedHal&) {
            outputTo(file.c_str(), O_WRONLY | O_TRUNC);
            (void)std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
            setLimit(4800);
        },
        [&](Feeder& f) {
            f.waitUntilWatching();
            if (!f.cycles(5, 512)) return;
            struct stat info{};
            while (::stat(file.c_str(), &info) == 0 && info.st_size < 4800) std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(200ms);
            setLimit(RLIM_INFINITY);
            f.cycles(20, 512);
        });
    expectStoppedByOutputFailure(recorder.process(), "File too large");
    std::ifstream written(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    ::unlink(path);
    EXPECT_EQ(bytes.size(), 4800u) << "the stream ends where the first write failed";
    EXPECT_TRUE(bytes == knownPcm(0, 1200)) << "and holds what was captured before it";
}
