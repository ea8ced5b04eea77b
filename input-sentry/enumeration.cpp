#include "input-sentry/enumeration.h"

#include "input-sentry/utf8.h"

namespace velko::input_sentry {
namespace {

using audio::AudioObjectID;
using audio::AudioObjectPropertyAddress;
using audio::kNoErr;
namespace sel = audio::selector;

// Reads an array of object IDs at `address`. The buffer holds size / 4 IDs,
// all 0 until the read fills them. The read is offered exactly the buffer's
// capacity: a reported size that is not a multiple of 4 must not let the
// audio system write past the end.
std::vector<AudioObjectID> objectList(audio::Hal& hal, AudioObjectID object,
                                      const AudioObjectPropertyAddress& address) {
    std::uint32_t size = 0;
    if (hal.getPropertyDataSize(object, address, size) != kNoErr || size == 0) return {};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), audio::kUnknownObject);
    if (ids.empty()) return {};
    auto ioDataSize = static_cast<std::uint32_t>(ids.size() * sizeof(AudioObjectID));
    if (hal.getPropertyData(object, address, ioDataSize, ids.data()) != kNoErr) return {};
    // What the read wrote back does not shorten the list: unfilled slots stay
    // 0 and drop out later, when their first read fails.
    return ids;
}

} // namespace

std::vector<AudioObjectID> processObjectIDs(audio::Hal& hal) {
    return objectList(hal, audio::kSystemObject, audio::globalAddress(sel::kAudioHardwarePropertyProcessObjectList));
}

std::optional<std::string> stringProperty(audio::Hal& hal, AudioObjectID object, std::uint32_t selector) {
    std::optional<std::string> text;
    if (hal.getStringProperty(object, audio::globalAddress(selector), text) != kNoErr) return std::nullopt;
    if (!text || text->empty()) return std::nullopt;
    return withValidUtf8(*text);
}

std::optional<std::string> inputDeviceUID(audio::Hal& hal, AudioObjectID process) {
    const AudioObjectPropertyAddress address{sel::kAudioProcessPropertyDevices, sel::kAudioObjectPropertyScopeInput,
                                             sel::kAudioObjectPropertyElementMain};
    auto devices = objectList(hal, process, address);
    if (devices.empty()) return std::nullopt;
    return stringProperty(hal, devices.front(), sel::kAudioDevicePropertyDeviceUID);
}

std::vector<InputProcess> activeInputProcesses(audio::Hal& hal) {
    std::vector<InputProcess> processes;
    for (AudioObjectID object : processObjectIDs(hal)) {
        // A process without a bundle identifier (none set, or not readable)
        // is listed all the same, under an empty one: a process must not
        // slip past a monitor of microphone use by having no name.
        std::string bundleId = stringProperty(hal, object, sel::kAudioProcessPropertyBundleID).value_or("");

        std::uint32_t runningInput = 0;
        if (audio::getProperty(hal, object, sel::kAudioProcessPropertyIsRunningInput, runningInput) != kNoErr ||
            runningInput == 0) {
            continue;
        }

        // A process whose pid cannot be read is still listed, with pid 0.
        std::int32_t pid = 0;
        if (audio::getProperty(hal, object, sel::kAudioProcessPropertyPID, pid) != kNoErr) pid = 0;

        processes.push_back(InputProcess{std::move(bundleId), pid, inputDeviceUID(hal, object)});
    }
    sortByKey(processes);
    return processes;
}

} // namespace velko::input_sentry
