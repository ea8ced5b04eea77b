// The audio hardware contract: the property reads and writes, listeners and
// (for the recorder) the tap, aggregate device and IO callback calls that the
// programs make, with the platform's statuses and values. Backends: CoreAudio
// (the product), PulseAudio on Linux, and a scripted stand-in for tests.
#pragma once

#include "platform/dispatch/dispatch.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#if defined(__APPLE__)
#include <CoreAudio/CoreAudio.h>
#endif

namespace velko::audio {

// Four-character codes read as big-endian 32-bit numbers.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

#if defined(__APPLE__)
// The platform's own types, so that buffer lists and addresses pass through
// unchanged.
using ::AudioBuffer;
using ::AudioBufferList;
using ::AudioObjectID;
using ::AudioObjectPropertyAddress;
using ::OSStatus;
#else
using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;

struct AudioObjectPropertyAddress {
    std::uint32_t mSelector;
    std::uint32_t mScope;
    std::uint32_t mElement;
};

// The platform's published layout: a count, then that many buffers laid out
// from mBuffers[0] on.
struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;
};

struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};
#endif

inline constexpr OSStatus kNoErr = 0;
inline constexpr AudioObjectID kUnknownObject = 0; // kAudioObjectUnknown
inline constexpr AudioObjectID kSystemObject = 1;  // kAudioObjectSystemObject

namespace selector {
inline constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr std::uint32_t kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;

inline constexpr std::uint32_t kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");
inline constexpr std::uint32_t kAudioHardwarePropertyProcessObjectList = fourCC("prs#");
inline constexpr std::uint32_t kAudioDevicePropertyDeviceUID = fourCC("uid ");
inline constexpr std::uint32_t kAudioDevicePropertyDeviceIsAlive = fourCC("livn");
inline constexpr std::uint32_t kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");
inline constexpr std::uint32_t kAudioDevicePropertyStreamConfiguration = fourCC("slay");
inline constexpr std::uint32_t kAudioProcessPropertyBundleID = fourCC("pbid");
inline constexpr std::uint32_t kAudioProcessPropertyIsRunningInput = fourCC("piri");
inline constexpr std::uint32_t kAudioProcessPropertyPID = fourCC("ppid");
inline constexpr std::uint32_t kAudioProcessPropertyDevices = fourCC("pdv#");
} // namespace selector

// kAudioHardwareUnknownPropertyError ('who?') and kAudioHardwareBadObjectError
// ('!obj'): what a backend answers for a property or object it does not have.
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));

constexpr AudioObjectPropertyAddress globalAddress(std::uint32_t sel) {
    return {sel, selector::kAudioObjectPropertyScopeGlobal, selector::kAudioObjectPropertyElementMain};
}

// Property-listener block: the number of changed addresses and the list.
using PropertyListener = std::function<void(std::uint32_t count, const AudioObjectPropertyAddress* addresses)>;

class Hal {
public:
    Hal() = default;
    Hal(const Hal&) = delete;
    Hal& operator=(const Hal&) = delete;
    virtual ~Hal() = default;

    // AudioObjectGetPropertyDataSize with no qualifier.
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t& outSize) = 0;
    // AudioObjectGetPropertyData with no qualifier: `ioDataSize` is the
    // capacity of `data` on entry and the bytes written on success.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t& ioDataSize, void* data) = 0;
    // AudioObjectSetPropertyData with no qualifier.
    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t dataSize, const void* data) = 0;
    // A string-valued property (a CFString reference on the platform, read
    // with a data size of 8). On success `text` holds the bytes copied out of
    // the reference, which the backend has released; a success that
    // delivered no string leaves `text` empty (nullopt). The bytes are
    // meant to be UTF-8 but are not guaranteed to be.
    virtual OSStatus getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       std::optional<std::string>& text) = 0;
    // AudioObjectAddPropertyListenerBlock: `listener` runs on `queue` each
    // time the property changes.
    virtual OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         dispatch::Queue& queue, PropertyListener listener) = 0;
};

// Reads a fixed-size property in global scope into `value`, passing the size
// of T as the data size. The value is left as the caller set it on failure.
template <class T> OSStatus getProperty(Hal& hal, AudioObjectID object, std::uint32_t sel, T& value) {
    std::uint32_t size = sizeof(T);
    return hal.getPropertyData(object, globalAddress(sel), size, &value);
}

} // namespace velko::audio
