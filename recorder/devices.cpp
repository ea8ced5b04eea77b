// Device queries: the default microphone with its UID, and the buffer layout
// of a device's input stream configuration.
#include "event-protocol/profiles.h"
#include "recorder/recorder.h"

#include <cstddef>
#include <cstring>

namespace velko::recorder {

using namespace audio::selector;

InputDevice defaultInputDevice(audio::Hal& hal) {
    InputDevice device;
    AudioObjectID id = audio::kUnknownObject;
    OSStatus status = audio::getProperty(hal, audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice, id);
    if (status != audio::kNoErr || id == audio::kUnknownObject) {
        events::recorder::fail("no_input_device", "no default input device", status);
    }
    std::optional<std::string> uid;
    status = hal.getStringProperty(id, audio::globalAddress(kAudioDevicePropertyDeviceUID), uid);
    if (status != audio::kNoErr) events::recorder::fail("no_input_device", "could not read input device UID", status);
    device.id = id;
    device.uid = uid.value_or(std::string());
    return device;
}

std::vector<std::int64_t> inputBufferChannels(audio::Hal& hal, AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (hal.getPropertyDataSize(device, address, size) != audio::kNoErr || size == 0) return {};
    // Heap storage keeps the block aligned for AudioBuffer's pointer member.
    std::vector<std::max_align_t> block((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::uint32_t got = size;
    if (hal.getPropertyData(device, address, got, block.data()) != audio::kNoErr) return {};
    // Walk only what was delivered: a list whose count claims more buffers
    // than the bytes hold is as unreadable as a failed read.
    const std::size_t delivered = std::min(got, size);
    if (delivered < sizeof(std::uint32_t)) return {};
    const auto* list = reinterpret_cast<const AudioBufferList*>(block.data());
    const std::size_t count = list->mNumberBuffers;
    const std::size_t header = offsetof(AudioBufferList, mBuffers);
    const std::size_t room = delivered > header ? (delivered - header) / sizeof(AudioBuffer) : 0;
    if (count > room) return {};
    std::vector<std::int64_t> channels;
    channels.reserve(count);
    const AudioBuffer* buffers = list->mBuffers;
    for (std::size_t i = 0; i < count; ++i) channels.push_back(static_cast<std::int64_t>(buffers[i].mNumberChannels));
    return channels;
}

} // namespace velko::recorder
