// A programmable stand-in for the audio hardware: every property of every
// object answers with a status and a value chosen by the test, and every call
// is logged in order. Safe to use from several threads.
#pragma once

#include "platform/audio/hal.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace velko::audio {

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

} // namespace velko::audio
