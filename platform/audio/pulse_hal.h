// The pulse backend's Hal: the platform-shaped calls translated to what the
// server knows (pulse.cpp, pulse_output.cpp) and to the capture engines of
// its aggregate devices (pulse_aggregate.cpp, pulse_capture.h). All members
// are guarded by the connection's lock.
#pragma once

#include "platform/audio/hal.h"
#include "platform/audio/pulse_cached.h"
#include "platform/audio/pulse_capture.h"
#include "platform/audio/pulse_connection.h"
#include "platform/audio/pulse_processes.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velko::audio::pulse {

// A fixed-size property value in the form the property reads return it.
template <class T> void put(std::vector<std::uint8_t>& bytes, const T& value) {
    bytes.resize(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
}

// Whether a read at `address` asks about the input side: the input scope,
// or the global scope, which covers every side. Nothing of this backend
// plays, so any other scope has no streams and no devices.
inline bool isInputScope(const AudioObjectPropertyAddress& address) {
    return address.mScope == selector::kAudioObjectPropertyScopeInput ||
           address.mScope == selector::kAudioObjectPropertyScopeGlobal;
}

// What a string-valued property answers to a size or data read: one string
// reference (on the platform, a CFStringRef).
inline constexpr std::uint32_t kStringRefSize = 8;

class PulseHal final : public Hal {
public:
    explicit PulseHal(std::string applicationName);
    ~PulseHal() override;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioDataSize,
                             void* data) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t dataSize,
                             const void* data) override;
    OSStatus getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::optional<std::string>& text) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 dispatch::Queue& queue, PropertyListener listener) override;

    std::string newUUID() override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(std::optional<IOProcID>& outID, AudioObjectID device, dispatch::Queue& queue,
                                     IOBlock block) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID id) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID id) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) override;
    void setLatencyTolerance(std::chrono::milliseconds tolerance) override;

private:
    enum class Kind { source, process, sink };
    // What an object id stands for. Ids are never reused, and each belongs
    // to one connection: a source of an earlier server is gone for good.
    struct Object {
        Kind kind;
        std::uint32_t generation;
        std::uint32_t sourceIndex = kNoIndex; // the server's index: of the source, or of the sink
        std::string processKey;
    };
    struct SourceRecord {
        std::uint32_t index = kNoIndex;
        std::string name;
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        pa_channel_map channelMap{};
    };
    // A system-audio tap: what the description asked for. Its stream is
    // opened by the aggregate device that holds it.
    struct Tap {
        std::string uuid;
        std::string name;
    };
    struct IOProc {
        IOProcID id;
        dispatch::Queue* queue;
        std::shared_ptr<IOBlock> block;
        bool running = false;
    };
    // An aggregate device: the microphone and the tap, captured together
    // and handed to its IO callbacks as cycles.
    struct Aggregate final : CycleSink {
        Aggregate(Connection& connection, AudioObjectID id, std::string uid, const SourceRecord& mic,
                  std::string tapName);
        AudioObjectID id;
        std::string uid;
        std::uint32_t rate; // what the streams are opened at
        std::vector<IOProc> procs;
        PulseCapture capture;
        bool running() const;
        bool wantsCycles() const override { return running(); }
        void takeCycle(const std::shared_ptr<const Cycle>& cycle) override;
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        dispatch::Queue* queue;
        std::shared_ptr<PropertyListener> block;
    };
    // A property's value: fixed-size bytes, or an array of 4-byte elements
    // that a short buffer receives in part.
    struct Value {
        std::vector<std::uint8_t> bytes;
        bool isArray = false;
    };

    OSStatus answer(AudioObjectID object, const AudioObjectPropertyAddress& address, Value& value);
    OSStatus answerSystem(const AudioObjectPropertyAddress& address, Value& value);
    OSStatus answerSource(const Object& object, const AudioObjectPropertyAddress& address, Value& value);
    OSStatus answerProcess(const Object& object, const AudioObjectPropertyAddress& address, Value& value);
    // The default sink and what plays to it (pulse_output.cpp).
    OSStatus answerDefaultOutput(Value& value);
    OSStatus answerSink(const Object& object, const AudioObjectPropertyAddress& address, Value& value);

    AudioObjectID idFor(Kind kind, const std::string& key, std::uint32_t sourceIndex);
    AudioObjectID sourceId(std::uint32_t index) { return idFor(Kind::source, std::to_string(index), index); }
    const Object* lookup(AudioObjectID id) const;
    const SourceRecord* findSource(const Object& object) const;
    const ProcessRecord* findProcess(const Object& object) const;

    OSStatus answerAggregate(const Aggregate& aggregate, const AudioObjectPropertyAddress& address, Value& value);
    OSStatus setAggregateRate(Aggregate& aggregate, std::uint32_t dataSize, const void* data);
    Aggregate* findAggregate(AudioObjectID id);
    // The device and a share in it, so that it outlives a wait for the
    // server during which another thread may destroy it.
    std::shared_ptr<Aggregate> holdAggregate(AudioObjectID id);
    // Runs `call` on the aggregate `device` and its IO callback `id`, or
    // answers what a call on them answers when either is unknown. The
    // caller holds the lock, once: a wait for the server releases only one
    // level of it.
    OSStatus withProc(AudioObjectID device, IOProcID id, const std::function<OSStatus(Aggregate&, IOProc&)>& call);

    // The taps record the monitor of the default sink, and follow it when
    // the server names another (pulse_aggregate.cpp).
    std::optional<std::string> defaultSinkMonitor();
    void followDefaultSink(const std::string& sink);
    OSStatus openCapture(Aggregate& aggregate);

    // What the server knows, fetched again only after it announced a change.
    bool refreshSources();
    bool refreshServer();
    bool refreshOutputs();
    void markAllStale();

    void handleEvent(pa_subscription_event_type_t type, std::uint32_t index);
    void handleConnected();
    void handleLost();
    void defaultSourceIs(std::string name);
    void announceNoDefaultSource();
    void fire(AudioObjectID object, std::uint32_t selector);

    Connection connection_;

    // Ids below this are the platform's own (the system object is 1).
    static constexpr AudioObjectID kFirstObjectId = 0x100;
    AudioObjectID nextId_ = kFirstObjectId;
    std::map<std::string, AudioObjectID> idsByKey_;
    std::map<AudioObjectID, Object> objects_;

    // The server's defaults ("" for none).
    struct Defaults {
        std::string source, sink;
    };
    Cached<std::vector<SourceRecord>> sources_;
    Cached<Defaults> defaults_;
    Cached<std::vector<ProcessRecord>> processes_;
    // The default source as last announced to the default-input listeners,
    // and as the server last named it ("" for none).
    std::optional<std::string> announcedDefaultSource_;
    std::string latestDefaultSource_;
    pa_time_event* noDefaultTimer_ = nullptr;

    std::vector<Listener> listeners_;

    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, std::shared_ptr<Aggregate>> aggregates_;
    std::uintptr_t nextProcId_ = 1;
    // How long the recorder can wait for audio; the capture's fragments
    // follow it.
    std::chrono::milliseconds latencyTolerance_{0};
};

} // namespace velko::audio::pulse
