// CoreAudio backend of the audio contract (macOS 14.4 and later). Built with
// manual reference counting: every object created here is released here.
#include "platform/audio/hal.h"

#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <mutex>
#include <string_view>
#include <unordered_map>

namespace velko::audio {

// The description keys are the platform's own.
static_assert(std::string_view(kAudioAggregateDeviceUIDKey) == aggregate_key::uid);
static_assert(std::string_view(kAudioAggregateDeviceNameKey) == aggregate_key::name);
static_assert(std::string_view(kAudioAggregateDeviceIsPrivateKey) == aggregate_key::isPrivate);
static_assert(std::string_view(kAudioAggregateDeviceMainSubDeviceKey) == aggregate_key::mainSubDevice);
static_assert(std::string_view(kAudioAggregateDeviceSubDeviceListKey) == aggregate_key::subDeviceList);
static_assert(std::string_view(kAudioAggregateDeviceTapListKey) == aggregate_key::tapList);
static_assert(std::string_view(kAudioAggregateDeviceTapAutoStartKey) == aggregate_key::tapAutoStart);
static_assert(std::string_view(kAudioSubDeviceUIDKey) == aggregate_key::subDeviceUID);
static_assert(std::string_view(kAudioSubDeviceDriftCompensationKey) == aggregate_key::subDeviceDrift);
static_assert(std::string_view(kAudioSubTapUIDKey) == aggregate_key::subTapUID);
static_assert(std::string_view(kAudioSubTapDriftCompensationKey) == aggregate_key::subTapDrift);
static_assert(::kAudioHardwareNotRunningError == audio::kAudioHardwareNotRunningError);
static_assert(static_cast<std::int64_t>(CATapUnmuted) == static_cast<std::int64_t>(TapMuteBehavior::unmuted));
static_assert(static_cast<std::int64_t>(CATapMuted) == static_cast<std::int64_t>(TapMuteBehavior::muted));
static_assert(static_cast<std::int64_t>(CATapMutedWhenTapped) ==
              static_cast<std::int64_t>(TapMuteBehavior::mutedWhenTapped));
// The objects, selectors, scopes and statuses that the logic names by their
// four-character codes are the SDK's.
static_assert(::kAudioObjectUnknown == kUnknownObject);
static_assert(::kAudioObjectSystemObject == kSystemObject);
static_assert(::kAudioHardwareNoError == kNoErr);
static_assert(::kAudioHardwareUnknownPropertyError == audio::kAudioHardwareUnknownPropertyError);
static_assert(::kAudioHardwareBadObjectError == audio::kAudioHardwareBadObjectError);
static_assert(::kAudioObjectPropertyScopeGlobal == selector::kAudioObjectPropertyScopeGlobal);
static_assert(::kAudioObjectPropertyScopeInput == selector::kAudioObjectPropertyScopeInput);
static_assert(::kAudioObjectPropertyElementMain == selector::kAudioObjectPropertyElementMain);
static_assert(::kAudioHardwarePropertyDefaultInputDevice == selector::kAudioHardwarePropertyDefaultInputDevice);
static_assert(::kAudioHardwarePropertyProcessObjectList == selector::kAudioHardwarePropertyProcessObjectList);
static_assert(::kAudioDevicePropertyDeviceUID == selector::kAudioDevicePropertyDeviceUID);
static_assert(::kAudioDevicePropertyDeviceIsAlive == selector::kAudioDevicePropertyDeviceIsAlive);
static_assert(::kAudioDevicePropertyNominalSampleRate == selector::kAudioDevicePropertyNominalSampleRate);
static_assert(::kAudioDevicePropertyStreamConfiguration == selector::kAudioDevicePropertyStreamConfiguration);
static_assert(::kAudioProcessPropertyBundleID == selector::kAudioProcessPropertyBundleID);
static_assert(::kAudioProcessPropertyIsRunningInput == selector::kAudioProcessPropertyIsRunningInput);
static_assert(::kAudioProcessPropertyPID == selector::kAudioProcessPropertyPID);
static_assert(::kAudioProcessPropertyDevices == selector::kAudioProcessPropertyDevices);

// The properties of the recorder's health watch are the platform's own: the
// default output device and whether any process runs IO on it, and the
// nominal rate whose listener notices a device changing its rate. They are
// read and watched through the generic property calls below.
static_assert(::kAudioHardwarePropertyDefaultOutputDevice == selector::kAudioHardwarePropertyDefaultOutputDevice);
static_assert(::kAudioDevicePropertyDeviceIsRunningSomewhere == selector::kAudioDevicePropertyDeviceIsRunningSomewhere);
static_assert(::kAudioDevicePropertyNominalSampleRate == selector::kAudioDevicePropertyNominalSampleRate);
static_assert(::kAudioObjectSystemObject == kSystemObject);

namespace {

dispatch_queue_t nativeQueue(dispatch::Queue& queue) { return static_cast<dispatch_queue_t>(queue.native()); }

// A CFString from UTF-8 bytes; null when the bytes are not UTF-8.
CFStringRef makeString(const std::string& text) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

std::string textOf(CFStringRef string) {
    CFIndex length = CFStringGetLength(string);
    CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
    std::string text(static_cast<std::size_t>(capacity), '\0');
    CFIndex used = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8*>(text.data()), capacity, &used);
    text.resize(static_cast<std::size_t>(used));
    return text;
}

// The platform form of a description value: strings, numbers, arrays and
// dictionaries. Returns a +1 reference, or null for a value it cannot hold.
CFTypeRef makePlatformValue(const AggregateDescription& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::string:
        return makeString(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::boolean:
        return CFRetain(value.get<bool>() ? kCFBooleanTrue : kCFBooleanFalse);
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned: {
        SInt64 number = value.get<SInt64>();
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &number);
    }
    case nlohmann::json::value_t::number_float: {
        Float64 number = value.get<double>();
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &number);
    }
    case nlohmann::json::value_t::array: {
        CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        for (const auto& element : value) {
            if (CFTypeRef item = makePlatformValue(element)) {
                CFArrayAppendValue(array, item);
                CFRelease(item);
            }
        }
        return array;
    }
    case nlohmann::json::value_t::object: {
        CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (auto it = value.begin(); it != value.end(); ++it) {
            CFStringRef cfKey = makeString(it.key());
            CFTypeRef item = makePlatformValue(it.value());
            if (cfKey != nullptr && item != nullptr) CFDictionarySetValue(dictionary, cfKey, item);
            if (cfKey != nullptr) CFRelease(cfKey);
            if (item != nullptr) CFRelease(item);
        }
        return dictionary;
    }
    default:
        return nullptr;
    }
}

class CoreAudioHal final : public Hal {
public:
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override {
        UInt32 size = 0;
        OSStatus status = AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size);
        if (status == kAudioHardwareNoError) outSize = size;
        return status;
    }

    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioDataSize,
                             void* data) override {
        UInt32 size = ioDataSize;
        OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, data);
        if (status == kAudioHardwareNoError) ioDataSize = size;
        return status;
    }

    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t dataSize,
                             const void* data) override {
        return AudioObjectSetPropertyData(object, &address, 0, nullptr, dataSize, data);
    }

    OSStatus getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::optional<std::string>& text) override {
        CFStringRef string = nullptr;
        UInt32 size = sizeof string;
        OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &string);
        if (status != kAudioHardwareNoError) return status;
        if (string == nullptr) {
            text.reset();
            return status;
        }
        // The reader owns the reference it was handed.
        text = textOf(string);
        CFRelease(string);
        return status;
    }

    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 dispatch::Queue& queue, PropertyListener listener) override {
        // Listeners are never removed, so the block's target lives for the
        // life of the process.
        auto* target = new PropertyListener(std::move(listener));
        AudioObjectPropertyListenerBlock block = ^(UInt32 count, const AudioObjectPropertyAddress* addresses) {
          (*target)(count, addresses);
        };
        return AudioObjectAddPropertyListenerBlock(object, &address, nativeQueue(queue), block);
    }

    std::string newUUID() override {
        @autoreleasepool {
            // Foundation's UUID text: upper case, 36 characters.
            return textOf(static_cast<CFStringRef>([[NSUUID UUID] UUIDString]));
        }
    }

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override {
        OSStatus status = kAudioHardwareNoError;
        @autoreleasepool {
            NSMutableArray<NSNumber*>* excluded = [NSMutableArray array];
            for (AudioObjectID process : description.excludedProcesses) {
                [excluded addObject:[NSNumber numberWithUnsignedInt:process]];
            }
            CATapDescription* tap = [[CATapDescription alloc] initMonoGlobalTapButExcludeProcesses:excluded];
            NSString* name = [[NSString alloc] initWithUTF8String:description.name.c_str()];
            if (name != nil) tap.name = name;
            [name release];
            tap.privateTap = description.isPrivate ? YES : NO;
            tap.muteBehavior = static_cast<CATapMuteBehavior>(description.muteBehavior);
            // The UUID made with the description names the tap in the
            // aggregate device's tap list.
            NSString* uuidText = [[NSString alloc] initWithUTF8String:description.uuid.c_str()];
            NSUUID* uuid = uuidText != nil ? [[NSUUID alloc] initWithUUIDString:uuidText] : nil;
            if (uuid != nil) tap.UUID = uuid;
            [uuid release];
            [uuidText release];
            AudioObjectID tapID = kAudioObjectUnknown;
            status = AudioHardwareCreateProcessTap(tap, &tapID);
            [tap release];
            if (status == kAudioHardwareNoError) outTap = tapID;
        }
        return status;
    }

    OSStatus destroyProcessTap(AudioObjectID tap) override { return AudioHardwareDestroyProcessTap(tap); }

    OSStatus createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDevice) override {
        CFTypeRef dictionary = makePlatformValue(description);
        if (dictionary == nullptr || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) {
            if (dictionary != nullptr) CFRelease(dictionary);
            return kAudioHardwareIllegalOperationError;
        }
        AudioObjectID device = kAudioObjectUnknown;
        OSStatus status = AudioHardwareCreateAggregateDevice(static_cast<CFDictionaryRef>(dictionary), &device);
        CFRelease(dictionary);
        if (status == kAudioHardwareNoError) outDevice = device;
        return status;
    }

    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        return AudioHardwareDestroyAggregateDevice(device);
    }

    OSStatus createIOProcIDWithBlock(std::optional<IOProcID>& outID, AudioObjectID device, dispatch::Queue& queue,
                                     IOBlock block) override {
        auto* target = new IOBlock(std::move(block));
        AudioDeviceIOBlock ioBlock =
            ^(const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
              AudioBufferList* output, const AudioTimeStamp* outputTime) {
              (*target)(now, input, inputTime, output, outputTime);
            };
        AudioDeviceIOProcID procID = nullptr;
        OSStatus status = AudioDeviceCreateIOProcIDWithBlock(&procID, device, nativeQueue(queue), ioBlock);
        if (status != kAudioHardwareNoError || procID == nullptr) {
            delete target;
            return status;
        }
        auto id = static_cast<IOProcID>(reinterpret_cast<std::uintptr_t>(procID));
        {
            std::lock_guard lock(mutex_);
            blocks_[static_cast<std::uintptr_t>(id)] = Installed{target, nativeQueue(queue)};
        }
        outID = id;
        return status;
    }

    OSStatus deviceStart(AudioObjectID device, IOProcID id) override { return AudioDeviceStart(device, procOf(id)); }

    OSStatus deviceStop(AudioObjectID device, IOProcID id) override { return AudioDeviceStop(device, procOf(id)); }

    OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) override {
        OSStatus status = AudioDeviceDestroyIOProcID(device, procOf(id));
        Installed installed{};
        {
            std::lock_guard lock(mutex_);
            auto it = blocks_.find(static_cast<std::uintptr_t>(id));
            if (it == blocks_.end()) return status;
            installed = it->second;
            blocks_.erase(it);
        }
        // A cycle already submitted to the queue may still run: free the
        // block's target behind it, on the same serial queue.
        IOBlock* target = installed.target;
        dispatch_async(installed.queue, ^{
          delete target;
        });
        return status;
    }

private:
    struct Installed {
        IOBlock* target;
        dispatch_queue_t queue;
    };

    static AudioDeviceIOProcID procOf(IOProcID id) {
        return reinterpret_cast<AudioDeviceIOProcID>(static_cast<std::uintptr_t>(id));
    }

    std::mutex mutex_;
    std::unordered_map<std::uintptr_t, Installed> blocks_;
};

} // namespace

std::unique_ptr<Hal> makeSystemHal() { return std::make_unique<CoreAudioHal>(); }

} // namespace velko::audio
