// The pulse backend's Hal, shared by its source files. All members are
// guarded by the connection's lock.
#pragma once

#include "platform/audio/hal.h"
#include "platform/audio/pulse_align.h"
#include "platform/audio/pulse_connection.h"
#include "platform/audio/pulse_processes.h"

#include <chrono>
#include <cstdint>
#include <cstring>
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
    // An aggregate device: a record stream on the microphone and one on the
    // monitor of the default sink, joined into IO cycles.
    struct Aggregate {
        PulseHal* hal = nullptr;
        AudioObjectID id = kUnknownObject;
        std::string uid;
        std::string tapName;
        std::string micName;
        std::uint32_t micChannels = 0;
        pa_channel_map micMap{};
        std::uint32_t rate = 0;
        pa_stream* micStream = nullptr;
        pa_stream* tapStream = nullptr;
        std::string tapMonitor; // the source the tap stream records
        std::unique_ptr<CycleAligner> aligner;
        std::vector<IOProc> procs;
        double sampleTime = 0;
        bool running() const;
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
    IOProc* findProc(Aggregate& aggregate, IOProcID id);

    // Streams (pulse_streams.cpp).
    pa_usec_t fragmentUsec() const;
    std::optional<std::string> defaultSinkMonitor();
    pa_stream* openStream(Aggregate& aggregate, bool microphone, const std::string& source, bool corked);
    void closeStream(pa_stream*& stream);
    OSStatus connectStreams(Aggregate& aggregate);
    // Corks or uncorks both streams; with a deadline, gives up on a server
    // that has not answered by then.
    bool setCorked(Aggregate& aggregate, bool corked, pa_usec_t deadline = PA_USEC_INVALID);
    void followDefaultSink(const std::string& sink);
    void retargetTap(Aggregate& aggregate, const std::string& monitor);
    void streamReadable(Aggregate& aggregate, pa_stream* stream);
    void emitCycles(Aggregate& aggregate);
    static void streamStateChanged(pa_stream* stream, void* aggregate);
    static void streamRead(pa_stream* stream, std::size_t bytes, void* aggregate);

    bool refreshSources();
    bool refreshServer();
    bool refreshOutputs();

    void handleEvent(pa_subscription_event_type_t type, std::uint32_t index);
    void handleConnected();
    void handleLost();
    void defaultSourceIs(std::string name);
    void announceNoDefaultSource();
    void fire(AudioObjectID object, std::uint32_t selector);

    Connection connection_;

    AudioObjectID nextId_ = 0x100;
    std::map<std::string, AudioObjectID> idsByKey_;
    std::map<AudioObjectID, Object> objects_;

    std::vector<SourceRecord> sources_;
    bool sourcesFresh_ = false;
    std::string defaultSource_;
    std::string defaultSink_;
    bool serverFresh_ = false;
    std::vector<ProcessRecord> processes_;
    bool processesFresh_ = false;
    // The default source as last announced to the default-input listeners,
    // and as the server last named it ("" for none).
    std::optional<std::string> announcedDefaultSource_;
    std::string latestDefaultSource_;
    pa_time_event* noDefaultTimer_ = nullptr;

    std::vector<Listener> listeners_;

    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates_;
    std::uintptr_t nextProcId_ = 1;
    // How long the recorder can wait for audio; the streams' fragments
    // follow it (pulse_streams.cpp).
    std::chrono::milliseconds latencyTolerance_{0};
};

} // namespace velko::audio::pulse
