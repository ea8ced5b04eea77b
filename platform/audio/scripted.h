// A programmable stand-in for the audio hardware: every property of every
// object answers with a status and a value chosen by the test, and every call
// is logged in order. Safe to use from several threads.
#pragma once

#include "platform/audio/buffer_list.h"
#include "platform/audio/hal.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace velko::audio {

// An input buffer list that owns its buffers, for feeding made-up IO cycles
// (of any shape: null data, odd byte sizes, zero channels) to an IO block.
class ScriptedBufferList {
public:
    // A buffer of `channels` interleaved channels holding `samples`. Its byte
    // size is that of the samples unless `byteSize` says otherwise; the
    // storage always covers the byte size (padded with zeros).
    ScriptedBufferList& add(std::uint32_t channels, const std::vector<float>& samples,
                            std::optional<std::uint32_t> byteSize = std::nullopt);
    // A buffer whose mData is null.
    ScriptedBufferList& addNull(std::uint32_t channels, std::uint32_t byteSize);

    const AudioBufferList* list() const { return list_.list(); }
    std::size_t buffers() const { return storage_.size(); }

private:
    void rebuild();

    struct Buffer {
        std::uint32_t channels;
        std::uint32_t byteSize;
        std::unique_ptr<float[]> data; // null for a null buffer
    };
    std::vector<Buffer> storage_;
    BufferList list_;
};

class ScriptedHal : public Hal {
public:
    struct Call {
        std::string op;
        AudioObjectID object = 0;
        AudioObjectPropertyAddress address{};
        std::string describe() const; // "getPropertyData 7 pbid glob"
    };

    // What one property of one object answers.
    struct Property {
        OSStatus sizeStatus = kNoErr;  // AudioObjectGetPropertyDataSize
        OSStatus readStatus = kNoErr;  // AudioObjectGetPropertyData / string read
        OSStatus writeStatus = kNoErr; // AudioObjectSetPropertyData
        bool storeWrites = true;       // a successful write replaces `bytes`
        std::vector<std::uint8_t> bytes;
        // Set for string-valued properties; nullopt with isString true is a
        // read that succeeds without delivering a string.
        bool isString = false;
        std::optional<std::string> text;
        // Overrides the size reported by the size query (bytes.size() if unset).
        std::optional<std::uint32_t> reportedSize;
    };

    // Scripting. `scope` defaults to global.
    void setProperty(AudioObjectID object, std::uint32_t sel, Property property,
                     std::uint32_t scope = selector::kAudioObjectPropertyScopeGlobal);
    template <class T>
    void setValue(AudioObjectID object, std::uint32_t sel, const T& value,
                  std::uint32_t scope = selector::kAudioObjectPropertyScopeGlobal) {
        Property p;
        p.bytes.resize(sizeof(T));
        std::memcpy(p.bytes.data(), &value, sizeof(T));
        setProperty(object, sel, std::move(p), scope);
    }
    void setObjectList(AudioObjectID object, std::uint32_t sel, const std::vector<AudioObjectID>& ids,
                       std::uint32_t scope = selector::kAudioObjectPropertyScopeGlobal);
    void setString(AudioObjectID object, std::uint32_t sel, std::optional<std::string> text);
    // Changes the statuses of an existing (or empty) property.
    void setStatus(AudioObjectID object, std::uint32_t sel, OSStatus readStatus,
                   std::uint32_t scope = selector::kAudioObjectPropertyScopeGlobal);
    void setSizeStatus(AudioObjectID object, std::uint32_t sel, OSStatus sizeStatus,
                       std::uint32_t scope = selector::kAudioObjectPropertyScopeGlobal);
    // Direct access for fine-grained scripting (statuses, writes kept or not).
    Property& property(AudioObjectID object, std::uint32_t sel,
                       std::uint32_t scope = selector::kAudioObjectPropertyScopeGlobal);

    // Runs every listener registered for (object, selector) on its queue,
    // as the platform does when the property changes.
    void notify(AudioObjectID object, std::uint32_t sel);

    std::vector<Call> calls() const;
    std::vector<std::string> callLog() const; // describe() of each call
    void clearCalls();

    // Hal
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

    // --- Process tap, aggregate device and IO callback (the recorder) ---

    // What one creation call answers: its status, and whether it hands out
    // an object (or handle) at all; `object` is the id it hands out.
    struct Creation {
        OSStatus status = kNoErr;
        bool yieldsObject = true;
        AudioObjectID object = 0;
    };
    static constexpr AudioObjectID kTapID = 100;
    static constexpr AudioObjectID kAggregateID = 200;

    void setTapCreation(Creation creation);
    void setAggregateCreation(Creation creation);
    void setIOProcCreation(Creation creation); // `object` is ignored
    void setStartStatus(OSStatus status);
    // The status of every stop and destroy call (the recorder ignores them).
    void setTeardownStatus(OSStatus status);
    // The input stream configuration of a device: one buffer per entry with
    // that many channels (input scope, as the platform reports it).
    void setStreamConfiguration(AudioObjectID device, const std::vector<std::uint32_t>& channels);

    // What the program passed to the last creation call.
    std::optional<TapDescription> lastTapDescription() const;
    std::optional<AggregateDescription> lastAggregateDescription() const;
    // The last latency hint, kept apart from the call log (a hint changes
    // nothing a program does on the platform).
    std::optional<std::chrono::milliseconds> lastLatencyTolerance() const {
        std::lock_guard lock(mutex_);
        return lastTolerance_;
    }
    void setLatencyTolerance(std::chrono::milliseconds tolerance) override {
        std::lock_guard lock(mutex_);
        lastTolerance_ = tolerance;
    }

    // Runs `observer` on every call as it is logged (a test in another
    // process can stream the log out through it).
    void setCallObserver(std::function<void(const Call&)> observer);
    // Waits until `count` calls named `op` have been made.
    bool waitForCalls(const std::string& op, std::size_t count, std::chrono::milliseconds timeout);

    bool isRunning() const;
    bool waitUntilRunning(std::chrono::milliseconds timeout);
    // One IO cycle with `input`, submitted to the queue of the running IO
    // callback as the platform does. Returns false when no callback runs
    // (never started, or stopped): the cycle is dropped.
    bool deliverCycle(ScriptedBufferList input);
    // The same, and waits until the cycle has run on that queue.
    bool deliverCycleAndWait(ScriptedBufferList input);

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

protected:
    using Key = std::tuple<AudioObjectID, std::uint32_t, std::uint32_t>; // object, selector, scope
    void log(std::string op, AudioObjectID object, const AudioObjectPropertyAddress& address);

    mutable std::recursive_mutex mutex_;

private:
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        dispatch::Queue* queue;
        PropertyListener block;
    };

    std::map<Key, Property> properties_;
    std::vector<Listener> listeners_;
    std::vector<Call> calls_;

    // --- Process tap, aggregate device and IO callback ---
    struct IOProc {
        AudioObjectID device;
        dispatch::Queue* queue;
        std::shared_ptr<IOBlock> block;
        bool running = false;
    };
    // Submits one cycle; returns the queue it went to, or null.
    dispatch::Queue* submitCycle(const std::shared_ptr<const ScriptedBufferList>& input);

    Creation tapCreation_{kNoErr, true, kTapID};
    Creation aggregateCreation_{kNoErr, true, kAggregateID};
    Creation ioProcCreation_{};
    OSStatus startStatus_ = kNoErr;
    OSStatus teardownStatus_ = kNoErr;
    std::optional<TapDescription> lastTap_;
    std::optional<AggregateDescription> lastAggregate_;
    std::optional<std::chrono::milliseconds> lastTolerance_;
    std::function<void(const Call&)> observer_;
    std::condition_variable_any changed_;
    std::map<std::uintptr_t, IOProc> ioProcs_;
    std::uintptr_t nextIOProc_ = 1;
};

// "pbid" for a four-character code, or the number when it is not printable.
std::string fourCCText(std::uint32_t code);

// ---- Process objects (the input sentry's reads) ----

// What one process object answers: bundle identifier, running input, pid and
// input devices (input scope). Every read succeeds; script a failure
// afterwards with setStatus / setSizeStatus or property().
struct ScriptedProcess {
    std::optional<std::string> bundleId; // nullopt: the read delivers no string
    std::uint32_t runningInput = 1;
    std::int32_t pid = 0;
    std::vector<AudioObjectID> inputDevices;
};
void setProcessObject(ScriptedHal& hal, AudioObjectID object, const ScriptedProcess& process);

// ---- The default output device (the recorder's health watch) ----

// The system's default output device is `device`, and some process plays to
// it (running somewhere) or none does. Every read succeeds; script a failure
// afterwards with setStatus.
void setDefaultOutput(ScriptedHal& hal, AudioObjectID device, bool runningSomewhere);

} // namespace velko::audio
