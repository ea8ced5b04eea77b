// The audio system on Linux until a sound-server backend exists: no server
// is reachable, so every call fails with one stable status
// (kAudioHardwareNotRunningError) and hands out nothing. A program run here
// reports that it found no input device instead of crashing.
#include "platform/audio/hal.h"

#include <uuid/uuid.h>

namespace velko::audio {
namespace {

class UnavailableHal final : public Hal {
public:
    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t&) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t&, void*) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus getStringProperty(AudioObjectID, const AudioObjectPropertyAddress&, std::optional<std::string>&) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, dispatch::Queue&,
                                 PropertyListener) override {
        return kAudioHardwareNotRunningError;
    }

    std::string newUUID() override {
        uuid_t uuid;
        uuid_generate_random(uuid);
        char text[37];
        uuid_unparse_upper(uuid, text);
        return text;
    }
    OSStatus createProcessTap(const TapDescription&, AudioObjectID&) override { return kAudioHardwareNotRunningError; }
    OSStatus destroyProcessTap(AudioObjectID) override { return kAudioHardwareNotRunningError; }
    OSStatus createAggregateDevice(const AggregateDescription&, AudioObjectID&) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return kAudioHardwareNotRunningError; }
    OSStatus createIOProcIDWithBlock(std::optional<IOProcID>&, AudioObjectID, dispatch::Queue&, IOBlock) override {
        return kAudioHardwareNotRunningError;
    }
    OSStatus deviceStart(AudioObjectID, IOProcID) override { return kAudioHardwareNotRunningError; }
    OSStatus deviceStop(AudioObjectID, IOProcID) override { return kAudioHardwareNotRunningError; }
    OSStatus destroyIOProcID(AudioObjectID, IOProcID) override { return kAudioHardwareNotRunningError; }
};

} // namespace

std::unique_ptr<Hal> makeSystemHal() { return std::make_unique<UnavailableHal>(); }

} // namespace velko::audio
