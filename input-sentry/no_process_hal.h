// The audio system as velko-input-sentry sees it on Linux until it has a
// sound-server backend: a process list that is always empty, and no objects
// to ask about. The sentry then reports, truthfully, that it sees no process
// using input: "ready", one empty "input" line, then silence.
#pragma once

#include "platform/audio/hal.h"

namespace velko::inputsentry {

class NoProcessObjectsHal final : public audio::Hal {
public:
    audio::OSStatus getPropertyDataSize(audio::AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                        std::uint32_t& outSize) override;
    audio::OSStatus getPropertyData(audio::AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                    std::uint32_t& ioDataSize, void* data) override;
    audio::OSStatus setPropertyData(audio::AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                    std::uint32_t dataSize, const void* data) override;
    audio::OSStatus getStringProperty(audio::AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                      std::optional<std::string>& text) override;
    audio::OSStatus addPropertyListener(audio::AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                        dispatch::Queue& queue, audio::PropertyListener listener) override;
};

} // namespace velko::inputsentry
