// Running and stopping: SIGINT and SIGTERM, the microphone's is-alive flag,
// the system's default input device, the end of standard input, and the one
// orderly way out, `shutdown`. Every handler runs on the main queue, so they
// never run at once, and the first `shutdown` is the only one: it never
// returns to the queue.
#include "event-protocol/profiles.h"
#include "event-protocol/stdin_watch.h"
#include "recorder/recorder.h"

#include <csignal>
#include <system_error>

namespace velko::recorder {

using namespace audio::selector;
using events::recorder::emit;

namespace {

void onDeviceAliveChanged(Recorder& state) {
    std::uint32_t alive = 1;
    OSStatus status = audio::getProperty(state.hal, state.mic.id, kAudioDevicePropertyDeviceIsAlive, alive);
    // A read that fails counts as a loss: the device cannot be vouched for.
    if (status == audio::kNoErr && alive != 0) return;
    emit({{"event", "error"}, {"code", "device_lost"}, {"message", "the microphone went away"}});
    shutdown(state, 1);
}

void onDefaultInputChanged() {
    emit({{"event", "notice"},
          {"code", "default_input_changed"},
          {"message", "still recording the original microphone"}});
}

} // namespace

void installSignalSources(Recorder& state) {
    state.sigintSource = dispatch::makeSignalSource(SIGINT);
    state.sigtermSource = dispatch::makeSignalSource(SIGTERM);
    // The sources still observe the signals once they no longer terminate.
    (void)std::signal(SIGINT, SIG_IGN);
    (void)std::signal(SIGTERM, SIG_IGN);
    state.sigintSource->setHandler([&state] { shutdown(state, 0); });
    state.sigtermSource->setHandler([&state] { shutdown(state, 0); });
    state.sigintSource->resume();
    state.sigtermSource->resume();
}

void installDeviceListeners(Recorder& state) {
    state.deviceAliveAddress = audio::globalAddress(kAudioDevicePropertyDeviceIsAlive);
    state.hal.addPropertyListener(
        state.mic.id, state.deviceAliveAddress, dispatch::Queue::main(),
        [&state](std::uint32_t, const AudioObjectPropertyAddress*) { onDeviceAliveChanged(state); });
    state.defaultInputAddress = audio::globalAddress(kAudioHardwarePropertyDefaultInputDevice);
    state.hal.addPropertyListener(audio::kSystemObject, state.defaultInputAddress, dispatch::Queue::main(),
                                  [](std::uint32_t, const AudioObjectPropertyAddress*) { onDefaultInputChanged(); });
}

void startStdinWatch(Recorder& state) {
    events::watchStdinInBackground([&state] { shutdown(state, 0); });
}

void stopCapture(Recorder& state) {
    // Results are not looked at: the stop goes on whatever they say.
    if (state.ioProcID) {
        state.hal.deviceStop(state.aggregateID, *state.ioProcID);
        state.hal.destroyIOProcID(state.aggregateID, *state.ioProcID);
    }
    cleanup(state);
    // No capture cycle is running or queued after this; `pending` is ours.
    state.ioQueue->sync([] {});
    finishRateConversion(state);
    flush(state, true);
    // Every chunk, the final one included, is on standard output after this.
    state.outputQueue->sync([] {});
}

void reportOutputFailure(Recorder& state) {
    if (state.outputFailureReported) return;
    state.outputFailureReported = true;
    emit({{"event", "error"},
          {"code", "output_failed"},
          {"message", "could not write to standard output: " + std::generic_category().message(state.outputError)}});
}

void stopOnOutputFailure(Recorder& state) {
    reportOutputFailure(state);
    shutdown(state, 1);
}

void shutdown(Recorder& state, int status) {
    stopCapture(state);
    // A write may have failed while this stop was draining the output: the
    // host learns of it all the same.
    if (state.outputError != 0) {
        reportOutputFailure(state);
        status = 1;
    }
    emit({{"event", "stopped"}});
    events::exitProcess(status);
}

} // namespace velko::recorder
