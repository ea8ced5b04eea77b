// Start-up: the command line, the microphone, the system-audio tap and the
// private aggregate device that joins them, the sample rate, the input
// layout, the two queues and the capture callback, then "ready", the
// watchers and the main run loop. Every failure tears down what exists, in
// reverse order of creation, before `fail` writes its line.
#include "event-protocol/profiles.h"
#include "recorder/recorder.h"

#include <cmath>

namespace velko::recorder {

using namespace audio::selector;
using events::recorder::emit;
using events::recorder::fail;

std::int64_t computeChunkFrames(std::int64_t chunkMs, double actualRate) {
    double x = static_cast<double>(chunkMs) * actualRate;
    x = x / 1000.0;
    // Bounded before the conversion: an enormous rate must not reach an
    // integer conversion it would overflow.
    if (!(x >= 1.0)) return 1;
    if (x >= static_cast<double>(kMaxChunkFrames)) return kMaxChunkFrames;
    return static_cast<std::int64_t>(x);
}

audio::AggregateDescription makeAggregateDescription(const std::string& aggregateUID, const std::string& micUID,
                                                     const std::string& tapUUID) {
    namespace key = audio::aggregate_key;
    return {
        {key::uid, aggregateUID},
        {key::name, "Velko capture"},
        {key::isPrivate, 1},
        {key::mainSubDevice, micUID},
        {key::subDeviceList,
         audio::AggregateDescription::array({{{key::subDeviceUID, micUID}, {key::subDeviceDrift, 1}}})},
        {key::tapList, audio::AggregateDescription::array({{{key::subTapUID, tapUUID}, {key::subTapDrift, 1}}})},
        {key::tapAutoStart, 1},
    };
}

void createTap(Recorder& state) {
    state.tapDescription = state.hal.monoGlobalTapButExcludeProcesses({});
    state.tapDescription.name = "Velko meeting capture";
    state.tapDescription.isPrivate = true;
    state.tapDescription.muteBehavior = audio::TapMuteBehavior::unmuted;
    state.tapID = audio::kUnknownObject;
    state.tapStatus = state.hal.createProcessTap(state.tapDescription, state.tapID);
    if (state.tapStatus != audio::kNoErr || state.tapID == audio::kUnknownObject) {
        fail("tap_denied",
             "could not create the system-audio tap - System Audio Recording permission refused, or macOS < 14.2",
             state.tapStatus);
    }
}

void createAggregateDevice(Recorder& state) {
    state.aggregateUID = "velko.desktop.recorder." + state.hal.newUUID();
    state.description = makeAggregateDescription(state.aggregateUID, state.micUID, state.tapDescription.uuid);
    state.aggregateID = audio::kUnknownObject;
    state.aggregateStatus = state.hal.createAggregateDevice(state.description, state.aggregateID);
    if (state.aggregateStatus != audio::kNoErr || state.aggregateID == audio::kUnknownObject) {
        state.hal.destroyProcessTap(state.tapID);
        fail("aggregate_failed", "could not create the aggregate device", state.aggregateStatus);
    }
}

void setAndReadSampleRate(Recorder& state) {
    state.requestedRate = state.sampleRate;
    state.rateAddress = audio::globalAddress(kAudioDevicePropertyNominalSampleRate);
    // The device may refuse the rate and keep its own; the read-back says.
    state.hal.setPropertyData(state.aggregateID, state.rateAddress, sizeof state.requestedRate, &state.requestedRate);
    state.actualRate = 0.0;
    OSStatus status =
        audio::getProperty(state.hal, state.aggregateID, kAudioDevicePropertyNominalSampleRate, state.actualRate);
    // A non-finite read-back is no more usable than a failed one.
    if (status != audio::kNoErr || !(state.actualRate > 0.0) || !std::isfinite(state.actualRate)) {
        state.actualRate = state.requestedRate;
    }
}

void checkLayout(Recorder& state) {
    state.bufferChannels = inputBufferChannels(state.hal, state.aggregateID);
    if (state.bufferChannels.size() < 2) {
        cleanup(state);
        fail("unexpected_layout",
             "aggregate input has " + std::to_string(state.bufferChannels.size()) + " buffer(s); expected mic + tap");
    }
    state.tapBufferIndex = static_cast<std::int64_t>(state.bufferChannels.size()) - 1;
}

void installCaptureCallback(Recorder& state) {
    state.ioProcID.reset();
    state.ioStatus = state.hal.createIOProcIDWithBlock(
        state.ioProcID, state.aggregateID, *state.ioQueue,
        [&state](const audio::AudioTimeStamp*, const AudioBufferList* input, const audio::AudioTimeStamp*,
                 AudioBufferList*, const audio::AudioTimeStamp*) { captureBlock(state, input); });
    if (state.ioStatus != audio::kNoErr || !state.ioProcID) {
        cleanup(state);
        fail("io_proc_failed", "could not install the IO proc", state.ioStatus);
    }
}

void startDevice(Recorder& state) {
    state.startStatus = state.hal.deviceStart(state.aggregateID, *state.ioProcID);
    if (state.startStatus != audio::kNoErr) {
        state.hal.destroyIOProcID(state.aggregateID, *state.ioProcID);
        cleanup(state);
        fail("start_failed", "could not start the aggregate device", state.startStatus);
    }
}

void cleanup(Recorder& state) {
    state.hal.destroyAggregateDevice(state.aggregateID);
    state.hal.destroyProcessTap(state.tapID);
}

void emitReady(const Recorder& state) {
    emit({
        {"event", "ready"},
        {"sampleRate", state.actualRate},
        {"channels", 2},
        {"format", "s16le"},
        {"chunkMs", state.chunkMs},
        {"inputBufferChannels", state.bufferChannels},
    });
}

void startCapture(Recorder& state) {
    // The host receives audio a chunk at a time: a backend that picks its
    // own IO period may take longer periods for longer chunks.
    state.hal.setLatencyTolerance(std::chrono::milliseconds(state.chunkMs));
    state.mic = defaultInputDevice(state.hal);
    state.micUID = state.mic.uid;

    createTap(state);
    createAggregateDevice(state);
    setAndReadSampleRate(state);
    checkLayout(state);

    state.chunkFrames = computeChunkFrames(state.chunkMs, state.actualRate);
    prepareHealth(state);
    state.outputQueue = dispatch::Queue::serial("velko.recorder.output", dispatch::Qos::unspecified);
    state.pending.clear();
    // Room for two chunks of two-channel frames; a hint, so it is capped.
    state.pending.reserve(static_cast<std::size_t>(std::min(state.chunkFrames * 4, kMaxPendingReserve)));
    state.ioQueue = dispatch::Queue::serial("velko.recorder.io", dispatch::Qos::userInitiated);

    installCaptureCallback(state);
    startDevice(state);
}

void run(std::vector<std::string> args, audio::Hal& hal) {
    // Lives on this frame for the life of the process: run never returns.
    Recorder state(hal);
    state.sampleRate = 48000.0;
    state.chunkMs = 200;

    state.args = std::move(args);
    if (auto refusal = readRecorderFlags(state)) fail("bad_args", *refusal);

    startCapture(state);
    // From here the capture callback runs on ioQueue; start-up no longer
    // touches `pending`.

    emitReady(state);
    installSignalSources(state);
    installDeviceListeners(state);
    installRateListener(state);
    startStdinWatch(state);

    dispatch::runMainRunLoop();
    // Not expected; if the loop ever returns there is nothing left to serve.
    events::exitProcess(0);
}

} // namespace velko::recorder
