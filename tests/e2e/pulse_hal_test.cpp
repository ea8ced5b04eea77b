// The pulse backend against private servers: the device and process
// objects, listeners and the statuses without a server, read through the
// audio contract as the programs read them.
#include "platform/audio/pulse.h"
#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velko::e2e {
namespace {

using namespace audio;
using namespace audio::selector;
using testing::ChildProcess;

constexpr auto kInputScope = kAudioObjectPropertyScopeInput;

AudioObjectPropertyAddress address(std::uint32_t sel, std::uint32_t scope = kAudioObjectPropertyScopeGlobal) {
    return {sel, scope, kAudioObjectPropertyElementMain};
}

std::optional<std::string> stringOf(Hal& hal, AudioObjectID object, std::uint32_t sel, OSStatus* status = nullptr) {
    std::optional<std::string> text;
    OSStatus s = hal.getStringProperty(object, address(sel), text);
    if (status != nullptr) *status = s;
    return s == kNoErr ? text : std::nullopt;
}

std::vector<AudioObjectID> idsOf(Hal& hal, AudioObjectID object, std::uint32_t sel, std::uint32_t scope,
                                 OSStatus* status = nullptr) {
    std::uint32_t size = 0;
    OSStatus s = hal.getPropertyDataSize(object, address(sel, scope), size);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (s == kNoErr && size > 0) s = hal.getPropertyData(object, address(sel, scope), size, ids.data());
    if (status != nullptr) *status = s;
    if (s != kNoErr) return {};
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

AudioObjectID defaultInput(Hal& hal) {
    AudioObjectID id = kUnknownObject;
    EXPECT_EQ(getProperty(hal, kSystemObject, kAudioHardwarePropertyDefaultInputDevice, id), kNoErr);
    return id;
}

std::uint32_t isAlive(Hal& hal, AudioObjectID device) {
    std::uint32_t alive = 7;
    EXPECT_EQ(getProperty(hal, device, kAudioDevicePropertyDeviceIsAlive, alive), kNoErr);
    return alive;
}

std::vector<std::uint32_t> streamChannels(Hal& hal, AudioObjectID device, std::uint32_t scope) {
    std::uint32_t size = 0;
    if (hal.getPropertyDataSize(device, address(kAudioDevicePropertyStreamConfiguration, scope), size) != kNoErr) {
        return {999};
    }
    std::vector<std::uint8_t> block(size);
    if (hal.getPropertyData(device, address(kAudioDevicePropertyStreamConfiguration, scope), size, block.data()) !=
        kNoErr) {
        return {999};
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(block.data());
    std::vector<std::uint32_t> channels;
    channels.reserve(list->mNumberBuffers);
    for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) channels.push_back(list->mBuffers[i].mNumberChannels);
    return channels;
}

// What one process object answers.
struct ProcessView {
    AudioObjectID id = 0;
    std::optional<std::string> bundleId;
    std::uint32_t runningInput = 0;
    std::int32_t pid = 0;
    std::vector<std::string> deviceUIDs;
};

std::vector<ProcessView> processes(Hal& hal) {
    std::vector<ProcessView> views;
    for (auto id :
         idsOf(hal, kSystemObject, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal)) {
        ProcessView view;
        view.id = id;
        view.bundleId = stringOf(hal, id, kAudioProcessPropertyBundleID);
        getProperty(hal, id, kAudioProcessPropertyIsRunningInput, view.runningInput);
        getProperty(hal, id, kAudioProcessPropertyPID, view.pid);
        for (auto device : idsOf(hal, id, kAudioProcessPropertyDevices, kInputScope)) {
            view.deviceUIDs.push_back(stringOf(hal, device, kAudioDevicePropertyDeviceUID).value_or("?"));
        }
        views.push_back(view);
    }
    return views;
}

const ProcessView* withPid(const std::vector<ProcessView>& views, pid_t pid) {
    for (const auto& view : views) {
        if (view.pid == pid) return &view;
    }
    return nullptr;
}

// Counts listener runs and remembers the thread they ran on.
struct ListenerLog {
    std::mutex mutex;
    int runs = 0;
    pthread_t thread{};

    PropertyListener block() {
        return [this](std::uint32_t count, const AudioObjectPropertyAddress*) {
            std::lock_guard lock(mutex);
            runs += static_cast<int>(count);
            thread = ::pthread_self();
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return runs;
    }
};

pthread_t threadOf(dispatch::Queue& queue) {
    pthread_t thread{};
    queue.sync([&] { thread = ::pthread_self(); });
    return thread;
}

ChildProcess startStream(const SoundServer& server, const std::vector<std::string>& args) {
    std::vector<std::string> argv{VELKO_TEST_STREAM};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = server.spawn(argv);
    EXPECT_TRUE(child.waitForOutLines(1)) << "test stream did not start: " << child.err();
    return child;
}

class PulseHalTest : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        std::string error;
        server_ = SoundServer::start(GetParam(), false, error);
        ASSERT_TRUE(server_) << error;
        server_->exportToThisProcess();
        hal_ = makePulseHal("velko pulse test");
    }
    void TearDown() override {
        hal_.reset();
        server_.reset();
    }

    std::unique_ptr<SoundServer> server_;
    std::unique_ptr<Hal> hal_;
};

TEST_P(PulseHalTest, DefaultSourceIsTheDefaultInputDevice) {
    AudioObjectID mic = defaultInput(*hal_);
    ASSERT_NE(mic, kUnknownObject);
    EXPECT_EQ(defaultInput(*hal_), mic) << "one source, one id";
    EXPECT_EQ(stringOf(*hal_, mic, kAudioDevicePropertyDeviceUID), "micfeed.monitor");
    EXPECT_EQ(isAlive(*hal_, mic), 1u);
    double rate = 0;
    EXPECT_EQ(getProperty(*hal_, mic, kAudioDevicePropertyNominalSampleRate, rate), kNoErr);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(streamChannels(*hal_, mic, kInputScope), std::vector<std::uint32_t>{2});
    // The source's rate is not ours to change.
    double other = 16000;
    EXPECT_NE(hal_->setPropertyData(mic, address(kAudioDevicePropertyNominalSampleRate), sizeof other, &other), kNoErr);

    // Short buffers and unknown objects or properties are refused.
    std::uint16_t tooSmall = 0;
    std::uint32_t size = sizeof tooSmall;
    EXPECT_EQ(hal_->getPropertyData(kSystemObject, address(kAudioHardwarePropertyDefaultInputDevice), size, &tooSmall),
              pulse::kBadPropertySize);
    std::uint32_t value = 0;
    EXPECT_EQ(getProperty(*hal_, 0xdead, kAudioDevicePropertyDeviceIsAlive, value), kAudioHardwareBadObjectError);
    EXPECT_EQ(getProperty(*hal_, mic, kAudioProcessPropertyPID, value), kAudioHardwareUnknownPropertyError);
}

TEST_P(PulseHalTest, ListenersHearDefaultSourceChangesAndLostSources) {
    auto queue = dispatch::Queue::serial("velko.test.listeners", dispatch::Qos::defaultQos);
    AudioObjectID mic = defaultInput(*hal_);
    ListenerLog defaultChanges, micLost;
    ASSERT_EQ(hal_->addPropertyListener(kSystemObject, address(kAudioHardwarePropertyDefaultInputDevice), *queue,
                                        defaultChanges.block()),
              kNoErr);
    ASSERT_EQ(hal_->addPropertyListener(mic, address(kAudioDevicePropertyDeviceIsAlive), *queue, micLost.block()),
              kNoErr);

    auto module = server_->pactl({"load-module", "module-null-sink", "sink_name=othermic", "rate=48000"});
    // A change of the default sink is not a change of the default input.
    server_->pactl({"set-default-sink", "othermic"});
    server_->pactl({"set-default-source", "othermic.monitor"});
    ASSERT_TRUE(eventually([&] { return defaultChanges.count() >= 1; }));
    AudioObjectID other = defaultInput(*hal_);
    EXPECT_NE(other, mic);
    EXPECT_EQ(stringOf(*hal_, other, kAudioDevicePropertyDeviceUID), "othermic.monitor");
    EXPECT_EQ(isAlive(*hal_, mic), 1u) << "the old default is still there";
    EXPECT_TRUE(pthread_equal(defaultChanges.thread, threadOf(*queue))) << "delivered on the queue named";

    ListenerLog otherLost;
    ASSERT_EQ(hal_->addPropertyListener(other, address(kAudioDevicePropertyDeviceIsAlive), *queue, otherLost.block()),
              kNoErr);
    server_->pactl({"unload-module", module.substr(0, module.find('\n'))});
    ASSERT_TRUE(eventually([&] { return otherLost.count() >= 1; }));
    EXPECT_EQ(isAlive(*hal_, other), 0u);
    OSStatus status = kNoErr;
    EXPECT_EQ(stringOf(*hal_, other, kAudioDevicePropertyDeviceUID, &status), std::nullopt);
    EXPECT_NE(status, kNoErr);
    // The server falls back to another default source: one more change.
    ASSERT_TRUE(eventually([&] { return defaultChanges.count() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(defaultChanges.count(), 2);
    EXPECT_EQ(micLost.count(), 0) << "only the source that went is reported";
    EXPECT_EQ(isAlive(*hal_, mic), 1u);
}

TEST_P(PulseHalTest, RecordingProcessesAreProcessObjects) {
    auto recorder = server_->spawn({"parecord", "--latency-msec=20", "-d", "micfeed.monitor", "/dev/null"});
    auto corked = startStream(*server_, {"--corked", "--device", "speakers.monitor", "--app-id", "org.example.Paused"});
    // A new stream may be listed for a moment before it is connected.
    ASSERT_TRUE(eventually([&] {
        auto views = processes(*hal_);
        const auto* listed = withPid(views, recorder.pid());
        const auto* paused = withPid(views, corked.pid());
        return listed != nullptr && listed->runningInput != 0 && !listed->deviceUIDs.empty() && paused != nullptr &&
               !paused->deviceUIDs.empty();
    }));

    auto views = processes(*hal_);
    const auto* parecord = withPid(views, recorder.pid());
    ASSERT_NE(parecord, nullptr);
    EXPECT_EQ(parecord->bundleId, "pacat") << "the binary when there is no application id";
    EXPECT_EQ(parecord->runningInput, 1u);
    EXPECT_EQ(parecord->deviceUIDs, std::vector<std::string>{"micfeed.monitor"});

    const auto* paused = withPid(views, corked.pid());
    ASSERT_NE(paused, nullptr);
    EXPECT_EQ(paused->bundleId, "org.example.Paused");
    EXPECT_EQ(paused->runningInput, 0u) << "a corked stream is not running input";
    EXPECT_EQ(paused->deviceUIDs, std::vector<std::string>{"speakers.monitor"});

    // The same process keeps its object while it records.
    EXPECT_EQ(withPid(processes(*hal_), recorder.pid())->id, parecord->id);

    recorder.sendSignal(SIGINT);
    recorder.wait();
    ASSERT_TRUE(eventually([&] { return withPid(processes(*hal_), recorder.pid()) == nullptr; }));
    std::uint32_t running = 0;
    EXPECT_EQ(getProperty(*hal_, parecord->id, kAudioProcessPropertyIsRunningInput, running),
              kAudioHardwareBadObjectError)
        << "a process that stopped recording is gone";
}

TEST_P(PulseHalTest, LevelMetersAreNotMicrophoneUse) {
    // Volume controls meter at 25 Hz with the peak-detect flag; their stream
    // is called "Peak detect" in English, anything in other languages. One
    // named so at the source's own rate shows nothing else on PulseAudio.
    const std::vector<std::vector<std::string>> meters{
        {"--peak", "--rate", "25", "--name", "Spitzenwert", "--device", "micfeed.monitor"},
        {"--peak", "--rate", "25", "--name", "Peak detect"},
        {"--peak", "--rate", "48000", "--name", "Peak detect", "--device", "micfeed.monitor"},
    };
    std::vector<ChildProcess> running;
    running.reserve(meters.size());
    for (const auto& args : meters) running.push_back(startStream(*server_, args));
    auto recorder = startStream(*server_, {"--device", "micfeed.monitor", "--name", "Meeting"});
    ASSERT_TRUE(eventually([&] { return withPid(processes(*hal_), recorder.pid()) != nullptr; }));
    auto views = processes(*hal_);
    for (const auto& meter : running) {
        EXPECT_EQ(withPid(views, meter.pid()), nullptr) << "meter " << meter.pid() << " listed";
    }
    EXPECT_EQ(server_->sourceOutputs().size(), meters.size() + 1) << "the meters do record";
}

TEST_P(PulseHalTest, ALostServerEndsItsDevices) {
    auto queue = dispatch::Queue::serial("velko.test.lost", dispatch::Qos::defaultQos);
    AudioObjectID mic = defaultInput(*hal_);
    ListenerLog lost;
    ASSERT_EQ(hal_->addPropertyListener(mic, address(kAudioDevicePropertyDeviceIsAlive), *queue, lost.block()), kNoErr);
    server_->stop();
    ASSERT_TRUE(eventually([&] { return lost.count() >= 1; }));
    std::uint32_t alive = 1;
    EXPECT_EQ(getProperty(*hal_, mic, kAudioDevicePropertyDeviceIsAlive, alive), pulse::kNotRunning);

    // A server that comes back is found again; the old device stays gone.
    std::string error;
    auto again = SoundServer::start(GetParam(), false, error);
    ASSERT_TRUE(again) << error;
    again->exportToThisProcess();
    AudioObjectID now = kUnknownObject;
    ASSERT_TRUE(eventually(
        [&] { return getProperty(*hal_, kSystemObject, kAudioHardwarePropertyDefaultInputDevice, now) == kNoErr; }));
    EXPECT_NE(now, mic);
    EXPECT_EQ(stringOf(*hal_, now, kAudioDevicePropertyDeviceUID), "micfeed.monitor");
    EXPECT_EQ(isAlive(*hal_, mic), 0u);
}

AggregateDescription aggregateOf(const std::string& uid, const std::string& micUID, const std::string& tapUUID) {
    return {{"uid", uid},
            {"name", "Test capture"},
            {"private", 1},
            {"master", micUID},
            {"subdevices", {{{"uid", micUID}, {"drift", 1}}}},
            {"taps", {{{"uid", tapUUID}, {"drift", 1}}}},
            {"tapautostart", 1}};
}

double nominalRate(Hal& hal, AudioObjectID device) {
    double rate = 0;
    EXPECT_EQ(getProperty(hal, device, kAudioDevicePropertyNominalSampleRate, rate), kNoErr);
    return rate;
}

// What the IO callback received, and whether it ever ran beside another
// block of its queue (`asQueueBlock` wraps those).
struct CycleLog {
    std::mutex mutex;
    std::vector<std::string> shapes; // "buffers:channels/frames,channels/frames"
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};

    void asQueueBlock(const std::function<void()>& work) {
        if (running.fetch_add(1) != 0) overlapped = true;
        work();
        running.fetch_sub(1);
    }

    IOBlock block() {
        return [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) { asQueueBlock([&] { record(input); }); };
    }

    void record(const AudioBufferList* input) {
        std::string shape = std::to_string(input->mNumberBuffers) + ":";
        const AudioBuffer* buffers = input->mBuffers;
        for (std::uint32_t i = 0; i < input->mNumberBuffers; ++i) {
            std::uint32_t channels = buffers[i].mNumberChannels;
            shape += (i ? "," : "") + std::to_string(channels) + "/" +
                     std::to_string(buffers[i].mDataByteSize / 4 / std::max<std::uint32_t>(channels, 1));
        }
        std::lock_guard lock(mutex);
        shapes.push_back(shape);
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return shapes.size();
    }
};

std::size_t uncorkedStreams(const SoundServer& server) {
    std::size_t n = 0;
    for (const auto& stream : server.sourceOutputs()) n += stream.value("corked", true) ? 0 : 1;
    return n;
}

TEST_P(PulseHalTest, AggregateDeviceDeliversEqualCyclesFromMicrophoneAndTap) {
    auto queue = dispatch::Queue::serial("velko.test.io", dispatch::Qos::userInitiated);
    AudioObjectID mic = defaultInput(*hal_);
    auto micUID = stringOf(*hal_, mic, kAudioDevicePropertyDeviceUID).value_or("");
    auto tapDescription = hal_->monoGlobalTapButExcludeProcesses({});
    tapDescription.name = "Test tap";
    AudioObjectID tap = kUnknownObject;
    ASSERT_EQ(hal_->createProcessTap(tapDescription, tap), kNoErr);
    ASSERT_NE(tap, kUnknownObject);

    // Shapes other than one microphone and one tap are refused.
    AudioObjectID refused = kUnknownObject;
    EXPECT_NE(hal_->createAggregateDevice(aggregateOf("x", "no.such.source", tapDescription.uuid), refused), kNoErr);
    EXPECT_NE(hal_->createAggregateDevice(aggregateOf("x", micUID, "NO-SUCH-TAP"), refused), kNoErr);
    EXPECT_NE(hal_->createAggregateDevice(AggregateDescription{{"uid", "x"}}, refused), kNoErr);
    EXPECT_EQ(refused, kUnknownObject);

    AudioObjectID device = kUnknownObject;
    ASSERT_EQ(hal_->createAggregateDevice(aggregateOf("test.aggregate", micUID, tapDescription.uuid), device), kNoErr);
    EXPECT_EQ(stringOf(*hal_, device, kAudioDevicePropertyDeviceUID), "test.aggregate");
    EXPECT_EQ(nominalRate(*hal_, device), 48000.0) << "the microphone's rate until one is written";
    EXPECT_EQ(streamChannels(*hal_, device, kInputScope), (std::vector<std::uint32_t>{2, 1}));

    // The rate written is the rate the streams run at; the server resamples.
    // Each change is told to the rate's listeners.
    ListenerLog rateChanges;
    ASSERT_EQ(
        hal_->addPropertyListener(device, address(kAudioDevicePropertyNominalSampleRate), *queue, rateChanges.block()),
        kNoErr);
    const std::vector<std::pair<double, double>> writes{{44100, 44100},        {22050.4, 22050}, {100, 22050},
                                                        {std::nan(""), 22050}, {16000, 16000},   {16000, 16000}};
    for (auto [written, expected] : writes) {
        hal_->setPropertyData(device, address(kAudioDevicePropertyNominalSampleRate), sizeof written, &written);
        EXPECT_EQ(nominalRate(*hal_, device), expected) << "after writing " << written;
    }
    queue->sync([] {});
    EXPECT_EQ(rateChanges.count(), 3) << "44100, 22050 and 16000 Hz";

    CycleLog log;
    std::optional<IOProcID> proc;
    ASSERT_EQ(hal_->createIOProcIDWithBlock(proc, device, *queue, log.block()), kNoErr);
    ASSERT_TRUE(proc);
    ASSERT_EQ(hal_->deviceStart(device, *proc), kNoErr);
    ASSERT_TRUE(eventually([&] { return log.count() >= 10; }));
    auto first = log.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto perHalfSecond = log.count() - first;
    EXPECT_GE(perHalfSecond, 30u) << "about every 10 ms";
    EXPECT_LE(perHalfSecond, 70u);
    {
        std::lock_guard lock(log.mutex);
        for (const auto& shape : log.shapes) ASSERT_EQ(shape, "2:2/160,1/160") << "equal frames, 10 ms at 16 kHz";
    }
    // Cycles run as blocks of the queue: never beside its other blocks,
    // whether the queue is idle when a cycle comes or busy with work. The
    // queue is kept busy (a few 2 ms blocks waiting) until ten more cycles
    // have come.
    auto beforeBusy = log.count();
    std::atomic<int> waiting{0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log.count() < beforeBusy + 10 && std::chrono::steady_clock::now() < deadline) {
        if (waiting.load() < 3) {
            waiting.fetch_add(1);
            queue->async([&] {
                log.asQueueBlock([] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
                waiting.fetch_sub(1);
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    queue->sync([] {});
    EXPECT_GE(log.count(), beforeBusy + 10) << "cycles go on while the queue is busy";
    EXPECT_FALSE(log.overlapped);
    EXPECT_EQ(uncorkedStreams(*server_), 2u);

    // Stopped: nothing more is delivered, and the streams are corked.
    ASSERT_EQ(hal_->deviceStop(device, *proc), kNoErr);
    queue->sync([] {});
    auto stoppedAt = log.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(log.count(), stoppedAt);
    EXPECT_EQ(uncorkedStreams(*server_), 0u);
    EXPECT_EQ(server_->sourceOutputs().size(), 2u);

    ASSERT_EQ(hal_->deviceStart(device, *proc), kNoErr);
    EXPECT_TRUE(eventually([&] { return log.count() >= stoppedAt + 10; })) << "started again";

    ASSERT_EQ(hal_->deviceStop(device, *proc), kNoErr);
    EXPECT_EQ(hal_->destroyIOProcID(device, *proc), kNoErr);
    EXPECT_EQ(hal_->destroyAggregateDevice(device), kNoErr);
    EXPECT_EQ(hal_->destroyProcessTap(tap), kNoErr);
    EXPECT_TRUE(eventually([&] { return server_->sourceOutputs().empty(); })) << "nothing left on the server";
}

// A start opens the streams and waits for the server with the lock let go.
// Another thread that meanwhile adds a callback and destroys the device
// leaves the start with an error, and nothing behind.
TEST_P(PulseHalTest, ADeviceDestroyedWhileItsStartWaitsForTheServer) {
    auto queue = dispatch::Queue::serial("velko.test.io", dispatch::Qos::userInitiated);
    auto micUID = stringOf(*hal_, defaultInput(*hal_), kAudioDevicePropertyDeviceUID).value_or("");
    auto tapDescription = hal_->monoGlobalTapButExcludeProcesses({});
    AudioObjectID tap = kUnknownObject;
    ASSERT_EQ(hal_->createProcessTap(tapDescription, tap), kNoErr);
    AudioObjectID device = kUnknownObject;
    ASSERT_EQ(hal_->createAggregateDevice(aggregateOf("test.aggregate", micUID, tapDescription.uuid), device), kNoErr);
    CycleLog log;
    std::optional<IOProcID> proc;
    ASSERT_EQ(hal_->createIOProcIDWithBlock(proc, device, *queue, log.block()), kNoErr);

    server_->signalServer(SIGSTOP);
    std::atomic<OSStatus> started{kNoErr};
    std::atomic<bool> returned{false};
    std::thread starter([&] {
        started = hal_->deviceStart(device, *proc);
        returned = true;
    });
    // The start is waiting for the frozen server by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(returned);
    // Callbacks enough to move the device's list of them; the device's
    // destruction takes them with it.
    for (int i = 0; i < 16; ++i) {
        std::optional<IOProcID> another;
        EXPECT_EQ(hal_->createIOProcIDWithBlock(another, device, *queue, log.block()), kNoErr);
    }
    EXPECT_EQ(hal_->destroyAggregateDevice(device), kNoErr);
    server_->signalServer(SIGCONT);
    starter.join();

    EXPECT_EQ(started, kAudioHardwareBadObjectError) << "the device went while the start waited";
    EXPECT_EQ(hal_->deviceStop(device, *proc), kAudioHardwareBadObjectError);
    queue->sync([] {});
    EXPECT_EQ(log.count(), 0u);
    EXPECT_EQ(hal_->destroyProcessTap(tap), kNoErr);
    EXPECT_TRUE(eventually([&] { return server_->sourceOutputs().empty(); })) << "nothing left on the server";
}

TEST_P(PulseHalTest, DefaultOutputIsTheDefaultSinkRunningWhileAStreamPlaysToIt) {
    auto defaultOutput = [&] {
        AudioObjectID id = kUnknownObject;
        EXPECT_EQ(getProperty(*hal_, kSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id), kNoErr);
        return id;
    };
    auto running = [&](AudioObjectID device) {
        std::uint32_t value = 7;
        EXPECT_EQ(getProperty(*hal_, device, kAudioDevicePropertyDeviceIsRunningSomewhere, value), kNoErr);
        return value;
    };
    auto play = [&](const std::string& sink) {
        return server_->spawnShell("exec pacat --raw --latency-msec=20 -d " + sink + " </dev/zero");
    };
    const AudioObjectID speakers = defaultOutput();
    ASSERT_NE(speakers, kUnknownObject);
    EXPECT_EQ(isAlive(*hal_, speakers), 1u);
    double rate = 0;
    EXPECT_EQ(getProperty(*hal_, speakers, kAudioDevicePropertyNominalSampleRate, rate), kNoErr);
    EXPECT_EQ(rate, 48000.0);

    // Recording the sink's monitor, as the tap does, is not playing to it;
    // nor is playing to another sink.
    auto monitor = startStream(*server_, {"--device", "speakers.monitor"});
    auto elsewhere = play("headphones");
    ASSERT_TRUE(
        eventually([&] { return server_->pactl({"list", "short", "sink-inputs"}).find('\t') != std::string::npos; }));
    EXPECT_EQ(running(speakers), 0u);

    auto player = play("speakers");
    EXPECT_TRUE(eventually([&] { return running(speakers) == 1u; }));
    player.sendSignal(SIGTERM);
    player.wait();
    EXPECT_TRUE(eventually([&] { return running(speakers) == 0u; }));

    // Another default sink is another device, with its own streams.
    server_->pactl({"set-default-sink", "headphones"});
    EXPECT_TRUE(eventually([&] { return defaultOutput() != speakers; }));
    EXPECT_EQ(running(defaultOutput()), 1u);
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseHalTest, ::testing::Values(ServerKind::pulseaudio, ServerKind::pipewire),
                         [](const auto& info) { return kindName(info.param); });

TEST(PulseHalWithoutSink, NoTapWithoutASink) {
    std::string error;
    auto server = SoundServer::start(ServerKind::pulseaudio, false, error);
    ASSERT_TRUE(server) << error;
    server->exportToThisProcess();
    for (const auto& line : server->modules()) {
        if (line.find("module-null-sink") != std::string::npos)
            server->pactl({"unload-module", line.substr(0, line.find('\t'))});
    }
    auto hal = makePulseHal("velko pulse test");
    auto description = hal->monoGlobalTapButExcludeProcesses({});
    AudioObjectID tap = kUnknownObject;
    EXPECT_EQ(hal->createProcessTap(description, tap), pulse::kBadDevice);
    EXPECT_EQ(tap, kUnknownObject);
}

TEST(PulseHalWithoutServer, EveryCallFailsWithOneStatus) {
    char pattern[] = "/tmp/velko-noserver.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    ::setenv("XDG_RUNTIME_DIR", pattern, 1);
    ::setenv("PULSE_SERVER", (std::string("unix:") + pattern + "/pulse/native").c_str(), 1);
    ::unsetenv("DISPLAY");
    auto hal = makePulseHal("velko pulse test");
    auto queue = dispatch::Queue::serial("velko.test.none", dispatch::Qos::defaultQos);
    for (int round = 0; round < 2; ++round) {
        AudioObjectID id = 5;
        EXPECT_EQ(getProperty(*hal, kSystemObject, kAudioHardwarePropertyDefaultInputDevice, id), pulse::kNotRunning);
        EXPECT_EQ(id, 5u) << "the value is left as it was";
        EXPECT_EQ(getProperty(*hal, kSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id), pulse::kNotRunning);
        std::uint32_t size = 0;
        EXPECT_EQ(hal->getPropertyDataSize(kSystemObject, address(kAudioHardwarePropertyProcessObjectList), size),
                  pulse::kNotRunning);
        std::optional<std::string> text;
        EXPECT_EQ(hal->getStringProperty(0x100, address(kAudioDevicePropertyDeviceUID), text), pulse::kNotRunning);
        EXPECT_EQ(hal->addPropertyListener(kSystemObject, address(kAudioHardwarePropertyDefaultInputDevice), *queue,
                                           [](std::uint32_t, const AudioObjectPropertyAddress*) {}),
                  pulse::kNotRunning);
        AudioObjectID tap = kUnknownObject;
        EXPECT_EQ(hal->createProcessTap(hal->monoGlobalTapButExcludeProcesses({}), tap), pulse::kNotRunning);
    }
    ::rmdir(pattern);
}

} // namespace
} // namespace velko::e2e
