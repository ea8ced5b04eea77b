// The audio hardware contract: the property reads and writes, listeners and
// (for the recorder) the tap, aggregate device and IO callback calls that the
// programs make, with the platform's statuses and values. Backends: CoreAudio
// (the product), PulseAudio on Linux, and a scripted stand-in for tests.
#pragma once

#include "platform/dispatch/dispatch.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
using ::AudioTimeStamp;
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

struct SMPTETime {
    std::int16_t mSubframes;
    std::int16_t mSubframeDivisor;
    std::uint32_t mCounter;
    std::uint32_t mType;
    std::uint32_t mFlags;
    std::int16_t mHours;
    std::int16_t mMinutes;
    std::int16_t mSeconds;
    std::int16_t mFrames;
};

struct AudioTimeStamp {
    double mSampleTime;
    std::uint64_t mHostTime;
    double mRateScalar;
    std::uint64_t mWordClockTime;
    SMPTETime mSMPTETime;
    std::uint32_t mFlags;
    std::uint32_t mReserved;
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

// Read by the recorder's health watch when a source has gone silent, to tell
// a refused permission from a quiet room:
// - on the system object, the default output device (an AudioObjectID;
//   kAudioObjectUnknown when there is none);
// - on that device, whether any process runs IO on it (UInt32, non-zero
//   while some process plays). The Linux backend answers for the default
//   sink with whether a stream plays to it, uncorked; a sink's own state
//   would count the tap's recording of its monitor as use.
// The recorder also listens to kAudioDevicePropertyNominalSampleRate on its
// aggregate device: the listener runs when the device changes its rate of
// its own accord (a headset taking up a call profile, say).
inline constexpr std::uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
inline constexpr std::uint32_t kAudioDevicePropertyDeviceIsRunningSomewhere = fourCC("gone");
} // namespace selector

// kAudioHardwareUnknownPropertyError ('who?') and kAudioHardwareBadObjectError
// ('!obj'): what a backend answers for a property or object it does not have.
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));

constexpr AudioObjectPropertyAddress globalAddress(std::uint32_t sel) {
    return {sel, selector::kAudioObjectPropertyScopeGlobal, selector::kAudioObjectPropertyElementMain};
}

// ---------------------------------------------------------------------------
// Process tap, aggregate device and IO callback (used by the recorder)
// ---------------------------------------------------------------------------

// kAudioHardwareNotRunningError ('stop'): the audio system cannot be reached.
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCC("stop"));

// CATapMuteBehavior.
enum class TapMuteBehavior : std::int64_t { unmuted = 0, muted = 1, mutedWhenTapped = 2 };

// What CATapDescription carries for a mono global tap: the output of every
// process except `excludedProcesses`, mixed down to one channel.
struct TapDescription {
    std::vector<AudioObjectID> excludedProcesses;
    std::string name;
    bool isPrivate = false;
    TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;
    // Textual form of the tap's UUID (upper case, 36 characters); it names
    // the tap in an aggregate device's tap list.
    std::string uuid;
};

// An aggregate device description: a string-keyed dictionary whose values
// are strings, integers and lists or dictionaries of these. The apple
// backend turns it into a CFDictionary of CFStrings, CFNumbers and CFArrays.
using AggregateDescription = nlohmann::json;

// The dictionary keys, with the platform constant each one stands for.
namespace aggregate_key {
inline constexpr const char* uid = "uid";                   // kAudioAggregateDeviceUIDKey
inline constexpr const char* name = "name";                 // kAudioAggregateDeviceNameKey
inline constexpr const char* isPrivate = "private";         // kAudioAggregateDeviceIsPrivateKey
inline constexpr const char* mainSubDevice = "master";      // kAudioAggregateDeviceMainSubDeviceKey
inline constexpr const char* subDeviceList = "subdevices";  // kAudioAggregateDeviceSubDeviceListKey
inline constexpr const char* tapList = "taps";              // kAudioAggregateDeviceTapListKey
inline constexpr const char* tapAutoStart = "tapautostart"; // kAudioAggregateDeviceTapAutoStartKey
inline constexpr const char* subDeviceUID = "uid";          // kAudioSubDeviceUIDKey
inline constexpr const char* subDeviceDrift = "drift";      // kAudioSubDeviceDriftCompensationKey
inline constexpr const char* subTapUID = "uid";             // kAudioSubTapUIDKey
inline constexpr const char* subTapDrift = "drift";         // kAudioSubTapDriftCompensationKey
} // namespace aggregate_key

// The handle of an installed IO callback (AudioDeviceIOProcID).
enum class IOProcID : std::uintptr_t {};

// The IO block (AudioDeviceIOBlock): called once per IO cycle on the queue it
// was installed with. The buffer lists are valid for the call only.
using IOBlock =
    std::function<void(const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                       AudioBufferList* output, const AudioTimeStamp* outputTime)>;

// ---------------------------------------------------------------------------

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

    // --- Process tap, aggregate device and IO callback (the recorder) ---

    // A fresh random UUID in its textual form: 36 characters, upper-case
    // hexadecimal digits in groups of 8, 4, 4, 4 and 12 joined by "-".
    virtual std::string newUUID() = 0;
    // A new mono global tap description (CATapDescription
    // initMonoGlobalTapButExcludeProcesses:) carrying a fresh UUID.
    TapDescription monoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> processes) {
        TapDescription description;
        description.excludedProcesses = std::move(processes);
        description.uuid = newUUID();
        return description;
    }
    // AudioHardwareCreateProcessTap: on success `outTap` holds the tap; a
    // success may still leave it at kAudioObjectUnknown.
    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    // AudioHardwareDestroyProcessTap.
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    // AudioHardwareCreateAggregateDevice, with the same rule for `outDevice`.
    virtual OSStatus createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDevice) = 0;
    // AudioHardwareDestroyAggregateDevice.
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;
    // AudioDeviceCreateIOProcIDWithBlock: `block` runs on `queue` once per IO
    // cycle while the device runs. A success may still give no handle. As
    // with dispatch_sync, running on the queue means running as one of its
    // blocks, one at a time with the others, not always on its own thread.
    virtual OSStatus createIOProcIDWithBlock(std::optional<IOProcID>& outID, AudioObjectID device,
                                             dispatch::Queue& queue, IOBlock block) = 0;
    // AudioDeviceStart / AudioDeviceStop: after a stop returns, no further
    // callback is started (one already submitted to the queue may still run).
    virtual OSStatus deviceStart(AudioObjectID device, IOProcID id) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, IOProcID id) = 0;
    // AudioDeviceDestroyIOProcID.
    virtual OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) = 0;

    // A hint, given before the aggregate device is created: how long the
    // caller can wait for audio (the recorder passes its chunk length). A
    // backend that chooses its own IO period may use it to wake less often
    // for longer chunks; the IO cycles it hands out are no longer for it.
    // The platform's backend ignores it: the device sets the period.
    virtual void setLatencyTolerance(std::chrono::milliseconds tolerance) { (void)tolerance; }
};

// The audio system of this machine: CoreAudio on macOS; on Linux the user's
// PulseAudio server or PipeWire's pulse server (with none reachable, every
// call fails with kAudioHardwareNotRunningError).
std::unique_ptr<Hal> makeSystemHal();

// A fresh random UUID's text (upper case, 8-4-4-4-12), made with the C
// library's generator; what the Linux and scripted backends answer newUUID
// with.
std::string randomUUIDText();

// Reads a fixed-size property in global scope into `value`, passing the size
// of T as the data size. The value is left as the caller set it on failure.
template <class T> OSStatus getProperty(Hal& hal, AudioObjectID object, std::uint32_t sel, T& value) {
    std::uint32_t size = sizeof(T);
    return hal.getPropertyData(object, globalAddress(sel), size, &value);
}

} // namespace velko::audio
