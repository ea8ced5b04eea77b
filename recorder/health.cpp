// Recording health: a source that delivers nothing but digital zeros (a
// missing permission, a muted microphone) and a device that changes its
// nominal rate under the recording. The capture path counts and converts;
// the main queue reads the platform and writes the notices. The capture
// path never waits: it hands a change of silence over as a main-queue block
// (one per change, which is rare), and it reads the device's rate from an
// atomic that the main queue stores.
#include "recorder/recorder.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace velko::recorder {

using namespace audio::selector;

namespace {

// Whether some process plays to the default output device now. A read that
// fails says nothing is known to play.
bool outputActive(audio::Hal& hal) {
    AudioObjectID device = audio::kUnknownObject;
    if (audio::getProperty(hal, audio::kSystemObject, kAudioHardwarePropertyDefaultOutputDevice, device) !=
            audio::kNoErr ||
        device == audio::kUnknownObject) {
        return false;
    }
    std::uint32_t running = 0;
    if (audio::getProperty(hal, device, kAudioDevicePropertyDeviceIsRunningSomewhere, running) != audio::kNoErr) {
        return false;
    }
    return running != 0;
}

events::Event silenceNotice(Recorder& state, Channel channel, bool silent) {
    if (channel == Channel::microphone) {
        if (!silent) {
            return {
                {"event", "notice"}, {"code", "microphone_resumed"}, {"message", "the microphone carries sound again"}};
        }
        return {{"event", "notice"},
                {"code", "microphone_silent"},
                {"message", "the microphone has delivered only silence for 5 seconds - it may be muted, or "
                            "microphone access may be refused"}};
    }
    if (!silent) {
        return {{"event", "notice"}, {"code", "system_audio_resumed"}, {"message", "system audio carries sound again"}};
    }
    const bool active = outputActive(state.hal);
    return {{"event", "notice"},
            {"code", "system_audio_silent"},
            {"outputActive", active},
            {"message", active ? "system audio has been silent for 5 seconds while sound is playing - System Audio "
                                 "Recording permission may be missing"
                               : "system audio has been silent for 5 seconds; nothing is playing"}};
}

// Main queue: one notice per change of state. The capture path hands each
// change over once and in order; what was told last is kept all the same,
// so that nothing is ever told twice in a row.
void announceSilence(Recorder& state, Channel channel, bool silent) {
    bool& announced = state.health.announcedSilent[static_cast<int>(channel)];
    if (announced == silent) return;
    announced = silent;
    state.health.emit(silenceNotice(state, channel, silent));
}

// "48000 Hz": whole hertz, for a rate of any size.
std::string hz(double rate) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.0f Hz", rate); // cut short at worst
    return text;
}

// A rate the converter can take: finite, positive, and within reach of any
// real device (as the rates the hardware offers are).
bool usableRate(double rate) { return std::isfinite(rate) && rate >= 1000.0 && rate <= 1536000.0; }

void onNominalRateChanged(Recorder& state) {
    double rate = 0.0;
    if (audio::getProperty(state.hal, state.aggregateID, kAudioDevicePropertyNominalSampleRate, rate) !=
            audio::kNoErr ||
        !usableRate(rate)) {
        return;
    }
    Health& health = state.health;
    if (rate == health.noticedRate) return;
    health.noticedRate = rate;
    health.deviceRate.store(rate, std::memory_order_release);
    const bool announced = rate == state.actualRate;
    health.emit({{"event", "notice"},
                 {"code", "device_rate_changed"},
                 {"deviceRate", rate},
                 {"message", announced ? "the device is back at " + hz(rate) + "; the stream is no longer resampled"
                                       : "the device now runs at " + hz(rate) + "; the stream stays at " +
                                             hz(state.actualRate) + " by resampling"}});
}

void handOver(Recorder& state, Channel channel, bool silent) {
    dispatch::Queue::main().async([&state, channel, silent] { announceSilence(state, channel, silent); });
}

} // namespace

std::int64_t computeSilenceFrames(double actualRate) {
    const double frames = 5.0 * actualRate;
    // However low the rate (one the device never confirmed), a handful of
    // zeros is no silence.
    constexpr double kFewest = 1000.0;
    if (!(frames >= kFewest)) return static_cast<std::int64_t>(kFewest);
    // Past this no recording lasts long enough for the count to get there.
    constexpr double kLongest = 9.0e15;
    if (frames >= kLongest) return static_cast<std::int64_t>(kLongest);
    return static_cast<std::int64_t>(frames); // whole frames, as for the chunk size
}

void prepareHealth(Recorder& state) {
    Health& health = state.health;
    health.silenceFrames = computeSilenceFrames(state.actualRate);
    health.noticedRate = state.actualRate;
    health.deviceRate.store(state.actualRate, std::memory_order_relaxed);
}

void installRateListener(Recorder& state) {
    state.hal.addPropertyListener(
        state.aggregateID, state.rateAddress, dispatch::Queue::main(),
        [&state](std::uint32_t, const AudioObjectPropertyAddress*) { onNominalRateChanged(state); });
    onNominalRateChanged(state);
}

RateFrames convertRate(Recorder& state, const float* mic, const float* tap, std::size_t frames) {
    Health& health = state.health;
    const double rate = health.deviceRate.load(std::memory_order_acquire);
    // The rate to convert from, or 0 for none.
    const double from = rate != state.actualRate && usableRate(rate) ? rate : 0.0;
    if (from == health.resamplerRate && health.resampler == nullptr) return {mic, tap, frames};

    health.outMic.clear();
    health.outTap.clear();
    if (from != health.resamplerRate) {
        // What the old converter holds back belongs before this cycle.
        if (health.resampler != nullptr) health.resampler->drain(health.outMic, health.outTap);
        // Made here, once per change of rate: the only allocation of its kind.
        health.resampler = from != 0.0 ? Resampler::make(from, state.actualRate) : nullptr;
        health.resamplerRate = from;
    }
    if (health.resampler != nullptr) {
        health.resampler->process(mic, tap, frames, health.outMic, health.outTap);
    } else {
        // Back at the announced rate (or no converter to be had): as delivered.
        health.outMic.insert(health.outMic.end(), mic, mic + frames);
        health.outTap.insert(health.outTap.end(), tap, tap + frames);
    }
    return {health.outMic.data(), health.outTap.data(), health.outMic.size()};
}

void finishRateConversion(Recorder& state) {
    Health& health = state.health;
    if (health.resampler == nullptr) return;
    health.outMic.clear();
    health.outTap.clear();
    health.resampler->drain(health.outMic, health.outTap);
    health.resampler.reset();
    health.resamplerRate = 0.0;
    appendFrames(state, {health.outMic.data(), health.outTap.data(), health.outMic.size()});
}

void watchSilence(Recorder& state, const std::int16_t* frames, std::size_t count) {
    Health& health = state.health;
    if (health.silenceFrames <= 0 || count == 0) return;
    for (int channel = 0; channel < 2; ++channel) {
        // Scanning back from the newest frame stops at the first sound, which
        // real sound brings within a sample or two.
        std::size_t tail = 0;
        while (tail < count && frames[2 * (count - 1 - tail) + channel] == 0) ++tail;
        SilenceRun& run = health.runs[channel];
        if (tail < count) {
            run.zeros = static_cast<std::int64_t>(tail);
            if (run.silent) {
                run.silent = false;
                handOver(state, static_cast<Channel>(channel), false);
            }
        } else {
            run.zeros += static_cast<std::int64_t>(count);
        }
        if (!run.silent && run.zeros >= health.silenceFrames) {
            run.silent = true;
            handOver(state, static_cast<Channel>(channel), true);
        }
    }
}

} // namespace velko::recorder
