#include "platform/audio/scripted.h"

#include <algorithm>

namespace velko::audio {

std::string fourCCText(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((code >> shift) & 0xff);
        if (c < 0x20 || c > 0x7e) return std::to_string(code);
        text.push_back(c);
    }
    return text;
}

std::string ScriptedHal::Call::describe() const {
    std::string text = op + " " + std::to_string(object);
    if (address.mSelector != 0) text += " " + fourCCText(address.mSelector) + " " + fourCCText(address.mScope);
    return text;
}

void ScriptedHal::setProperty(AudioObjectID object, std::uint32_t sel, Property property, std::uint32_t scope) {
    std::lock_guard lock(mutex_);
    properties_[Key{object, sel, scope}] = std::move(property);
}

void ScriptedHal::setObjectList(AudioObjectID object, std::uint32_t sel, const std::vector<AudioObjectID>& ids,
                                std::uint32_t scope) {
    Property p;
    p.bytes.resize(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty()) std::memcpy(p.bytes.data(), ids.data(), p.bytes.size());
    setProperty(object, sel, std::move(p), scope);
}

void ScriptedHal::setString(AudioObjectID object, std::uint32_t sel, std::optional<std::string> text) {
    Property p;
    p.isString = true;
    p.text = std::move(text);
    p.bytes.resize(8); // the size of one reference
    setProperty(object, sel, std::move(p));
}

ScriptedHal::Property& ScriptedHal::property(AudioObjectID object, std::uint32_t sel, std::uint32_t scope) {
    std::lock_guard lock(mutex_);
    return properties_[Key{object, sel, scope}];
}

void ScriptedHal::setStatus(AudioObjectID object, std::uint32_t sel, OSStatus readStatus, std::uint32_t scope) {
    std::lock_guard lock(mutex_);
    properties_[Key{object, sel, scope}].readStatus = readStatus;
}

void ScriptedHal::setSizeStatus(AudioObjectID object, std::uint32_t sel, OSStatus sizeStatus, std::uint32_t scope) {
    std::lock_guard lock(mutex_);
    properties_[Key{object, sel, scope}].sizeStatus = sizeStatus;
}

void ScriptedHal::log(std::string op, AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    calls_.push_back(Call{std::move(op), object, address});
}

std::vector<ScriptedHal::Call> ScriptedHal::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> ScriptedHal::callLog() const {
    std::vector<std::string> lines;
    for (const auto& call : calls()) lines.push_back(call.describe());
    return lines;
}

void ScriptedHal::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

OSStatus ScriptedHal::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          std::uint32_t& outSize) {
    std::lock_guard lock(mutex_);
    log("getPropertyDataSize", object, address);
    auto it = properties_.find(Key{object, address.mSelector, address.mScope});
    if (it == properties_.end()) return kAudioHardwareUnknownPropertyError;
    if (it->second.sizeStatus != kNoErr) return it->second.sizeStatus;
    outSize = it->second.reportedSize.value_or(static_cast<std::uint32_t>(it->second.bytes.size()));
    return kNoErr;
}

OSStatus ScriptedHal::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      std::uint32_t& ioDataSize, void* data) {
    std::lock_guard lock(mutex_);
    log("getPropertyData", object, address);
    auto it = properties_.find(Key{object, address.mSelector, address.mScope});
    if (it == properties_.end()) return kAudioHardwareUnknownPropertyError;
    const Property& p = it->second;
    if (p.readStatus != kNoErr) return p.readStatus;
    // Like the platform: never more than the caller's capacity.
    auto n = std::min<std::size_t>(ioDataSize, p.bytes.size());
    if (n > 0) std::memcpy(data, p.bytes.data(), n);
    ioDataSize = static_cast<std::uint32_t>(n);
    return kNoErr;
}

OSStatus ScriptedHal::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      std::uint32_t dataSize, const void* data) {
    std::lock_guard lock(mutex_);
    log("setPropertyData", object, address);
    Property& p = properties_[Key{object, address.mSelector, address.mScope}];
    if (p.writeStatus != kNoErr) return p.writeStatus;
    if (p.storeWrites) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        p.bytes.assign(bytes, bytes + dataSize);
    }
    return kNoErr;
}

OSStatus ScriptedHal::getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        std::optional<std::string>& text) {
    std::lock_guard lock(mutex_);
    log("getPropertyData", object, address);
    auto it = properties_.find(Key{object, address.mSelector, address.mScope});
    if (it == properties_.end()) return kAudioHardwareUnknownPropertyError;
    const Property& p = it->second;
    if (p.readStatus != kNoErr) return p.readStatus;
    text = p.isString ? p.text : std::nullopt;
    return kNoErr;
}

OSStatus ScriptedHal::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          dispatch::Queue& queue, PropertyListener listener) {
    std::lock_guard lock(mutex_);
    log("addPropertyListener", object, address);
    listeners_.push_back(Listener{object, address, &queue, std::move(listener)});
    return kNoErr;
}

void ScriptedHal::notify(AudioObjectID object, std::uint32_t sel) {
    std::vector<Listener> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& l : listeners_) {
            if (l.object == object && l.address.mSelector == sel) targets.push_back(l);
        }
    }
    for (auto& l : targets) {
        l.queue->async([block = l.block, address = l.address] { block(1, &address); });
    }
}

// ---- Process objects (the input sentry's reads) ----

void setProcessObject(ScriptedHal& hal, AudioObjectID object, const ScriptedProcess& process) {
    hal.setString(object, selector::kAudioProcessPropertyBundleID, process.bundleId);
    hal.setValue(object, selector::kAudioProcessPropertyIsRunningInput, process.runningInput);
    hal.setValue(object, selector::kAudioProcessPropertyPID, process.pid);
    hal.setObjectList(object, selector::kAudioProcessPropertyDevices, process.inputDevices,
                      selector::kAudioObjectPropertyScopeInput);
}

} // namespace velko::audio
