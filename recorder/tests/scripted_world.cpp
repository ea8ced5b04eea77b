#include "recorder/tests/scripted_world.h"

namespace velko::recorder::testing {

using namespace audio::selector;

void scriptWorkingSystem(audio::ScriptedHal& hal) {
    hal.setValue(audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice, kMic);
    hal.setString(kMic, kAudioDevicePropertyDeviceUID, kMicUID);
    hal.setValue(kMic, kAudioDevicePropertyDeviceIsAlive, std::uint32_t{1});
    hal.setValue(kAggregate, kAudioDevicePropertyNominalSampleRate, 48000.0);
    hal.setStreamConfiguration(kAggregate, {1, 1});
}

float sampleFor(std::int16_t value) {
    // Half a step away from zero: x * 32767 lands well inside (value,
    // value + 1) (or its mirror), so truncation gives `value`.
    float magnitude = (static_cast<float>(value < 0 ? -value : value) + 0.5f) / 32767.0f;
    return value < 0 ? -magnitude : magnitude;
}

std::int16_t micValue(std::int64_t frame) { return static_cast<std::int16_t>(frame % 30000); }
std::int16_t tapValue(std::int64_t frame) { return static_cast<std::int16_t>(-((frame * 7) % 30000)); }

audio::ScriptedBufferList knownCycle(std::int64_t first, std::int64_t frames) {
    std::vector<float> mic, tap;
    for (std::int64_t k = first; k < first + frames; ++k) {
        mic.push_back(sampleFor(micValue(k)));
        tap.push_back(sampleFor(tapValue(k)));
    }
    audio::ScriptedBufferList list;
    list.add(1, mic).add(1, tap);
    return list;
}

std::string knownPcm(std::int64_t first, std::int64_t count) {
    std::string bytes;
    for (std::int64_t k = first; k < first + count; ++k) {
        for (std::int16_t v : {micValue(k), tapValue(k)}) {
            auto u = static_cast<std::uint16_t>(v);
            bytes.push_back(static_cast<char>(u & 0xff));
            bytes.push_back(static_cast<char>(u >> 8));
        }
    }
    return bytes;
}

} // namespace velko::recorder::testing
