#include "platform/audio/scripted.h"

#include <algorithm>
#include <cstddef>

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
    if (observer_) observer_(calls_.back());
    changed_.notify_all();
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

// --- Process tap, aggregate device and IO callback ---

ScriptedBufferList& ScriptedBufferList::add(std::uint32_t channels, const std::vector<float>& samples,
                                            std::optional<std::uint32_t> byteSize) {
    auto size = byteSize.value_or(static_cast<std::uint32_t>(samples.size() * sizeof(float)));
    std::size_t floats = std::max<std::size_t>((std::size_t{size} + 3) / 4, samples.size());
    Buffer buffer{channels, size, std::make_unique<float[]>(std::max<std::size_t>(floats, 1))};
    std::copy(samples.begin(), samples.end(), buffer.data.get());
    storage_.push_back(std::move(buffer));
    rebuild();
    return *this;
}

ScriptedBufferList& ScriptedBufferList::addNull(std::uint32_t channels, std::uint32_t byteSize) {
    storage_.push_back(Buffer{channels, byteSize, nullptr});
    rebuild();
    return *this;
}

void ScriptedBufferList::rebuild() {
    std::vector<AudioBuffer> buffers;
    buffers.reserve(storage_.size());
    for (const auto& buffer : storage_)
        buffers.push_back(AudioBuffer{buffer.channels, buffer.byteSize, buffer.data.get()});
    list_.assign(buffers);
}

void ScriptedHal::setTapCreation(Creation creation) {
    std::lock_guard lock(mutex_);
    tapCreation_ = creation;
}

void ScriptedHal::setAggregateCreation(Creation creation) {
    std::lock_guard lock(mutex_);
    aggregateCreation_ = creation;
}

void ScriptedHal::setIOProcCreation(Creation creation) {
    std::lock_guard lock(mutex_);
    ioProcCreation_ = creation;
}

void ScriptedHal::setStartStatus(OSStatus status) {
    std::lock_guard lock(mutex_);
    startStatus_ = status;
}

void ScriptedHal::setTeardownStatus(OSStatus status) {
    std::lock_guard lock(mutex_);
    teardownStatus_ = status;
}

void ScriptedHal::setStreamConfiguration(AudioObjectID device, const std::vector<std::uint32_t>& channels) {
    // Never shorter than the struct, even for no buffers.
    std::vector<std::uint8_t> block = streamConfigurationBytes(channels);
    block.resize(std::max(block.size(), sizeof(AudioBufferList)), 0);
    Property p;
    p.bytes = std::move(block);
    setProperty(device, selector::kAudioDevicePropertyStreamConfiguration, std::move(p),
                selector::kAudioObjectPropertyScopeInput);
}

std::optional<TapDescription> ScriptedHal::lastTapDescription() const {
    std::lock_guard lock(mutex_);
    return lastTap_;
}

std::optional<AggregateDescription> ScriptedHal::lastAggregateDescription() const {
    std::lock_guard lock(mutex_);
    return lastAggregate_;
}

void ScriptedHal::setCallObserver(std::function<void(const Call&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

bool ScriptedHal::waitForCalls(const std::string& op, std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(
                   std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.op == op; })) >= count;
    });
}

bool ScriptedHal::isRunning() const {
    std::lock_guard lock(mutex_);
    return std::any_of(ioProcs_.begin(), ioProcs_.end(), [](const auto& entry) { return entry.second.running; });
}

bool ScriptedHal::waitUntilRunning(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(ioProcs_.begin(), ioProcs_.end(), [](const auto& entry) { return entry.second.running; });
    });
}

dispatch::Queue* ScriptedHal::submitCycle(const std::shared_ptr<const ScriptedBufferList>& input) {
    // Submitted under the lock, so that once deviceStop has returned no
    // further cycle is started, as on the platform.
    std::lock_guard lock(mutex_);
    for (auto& [id, proc] : ioProcs_) {
        if (!proc.running) continue;
        proc.queue->async([block = proc.block, input] {
            static const AudioTimeStamp stamp{};
            AudioBufferList output{};
            (*block)(&stamp, input->list(), &stamp, &output, &stamp);
        });
        return proc.queue;
    }
    return nullptr;
}

bool ScriptedHal::deliverCycle(ScriptedBufferList input) {
    return submitCycle(std::make_shared<const ScriptedBufferList>(std::move(input))) != nullptr;
}

bool ScriptedHal::deliverCycleAndWait(ScriptedBufferList input) {
    dispatch::Queue* queue = submitCycle(std::make_shared<const ScriptedBufferList>(std::move(input)));
    if (queue == nullptr) return false;
    queue->sync([] {});
    return true;
}

std::string ScriptedHal::newUUID() { return randomUUIDText(); }

OSStatus ScriptedHal::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    std::lock_guard lock(mutex_);
    log("createProcessTap", 0, {});
    lastTap_ = description;
    if (tapCreation_.yieldsObject) outTap = tapCreation_.object;
    return tapCreation_.status;
}

OSStatus ScriptedHal::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    log("destroyProcessTap", tap, {});
    return teardownStatus_;
}

OSStatus ScriptedHal::createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDevice) {
    std::lock_guard lock(mutex_);
    log("createAggregateDevice", 0, {});
    lastAggregate_ = description;
    if (aggregateCreation_.yieldsObject) outDevice = aggregateCreation_.object;
    return aggregateCreation_.status;
}

OSStatus ScriptedHal::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    log("destroyAggregateDevice", device, {});
    return teardownStatus_;
}

OSStatus ScriptedHal::createIOProcIDWithBlock(std::optional<IOProcID>& outID, AudioObjectID device,
                                              dispatch::Queue& queue, IOBlock block) {
    std::lock_guard lock(mutex_);
    log("createIOProcIDWithBlock", device, {});
    if (ioProcCreation_.yieldsObject) {
        auto id = nextIOProc_++;
        ioProcs_[id] = IOProc{device, &queue, std::make_shared<IOBlock>(std::move(block))};
        outID = static_cast<IOProcID>(id);
    }
    return ioProcCreation_.status;
}

OSStatus ScriptedHal::deviceStart(AudioObjectID device, IOProcID id) {
    std::lock_guard lock(mutex_);
    log("deviceStart", device, {});
    if (startStatus_ != kNoErr) return startStatus_;
    auto it = ioProcs_.find(static_cast<std::uintptr_t>(id));
    if (it == ioProcs_.end() || it->second.device != device) return kAudioHardwareBadObjectError;
    it->second.running = true;
    changed_.notify_all();
    return kNoErr;
}

OSStatus ScriptedHal::deviceStop(AudioObjectID device, IOProcID id) {
    std::lock_guard lock(mutex_);
    log("deviceStop", device, {});
    auto it = ioProcs_.find(static_cast<std::uintptr_t>(id));
    if (it != ioProcs_.end()) it->second.running = false;
    return teardownStatus_;
}

OSStatus ScriptedHal::destroyIOProcID(AudioObjectID device, IOProcID id) {
    std::lock_guard lock(mutex_);
    log("destroyIOProcID", device, {});
    // Cycles already submitted keep their own reference to the block.
    ioProcs_.erase(static_cast<std::uintptr_t>(id));
    return teardownStatus_;
}

// ---- Process objects (the input sentry's reads) ----

void setProcessObject(ScriptedHal& hal, AudioObjectID object, const ScriptedProcess& process) {
    hal.setString(object, selector::kAudioProcessPropertyBundleID, process.bundleId);
    hal.setValue(object, selector::kAudioProcessPropertyIsRunningInput, process.runningInput);
    hal.setValue(object, selector::kAudioProcessPropertyPID, process.pid);
    hal.setObjectList(object, selector::kAudioProcessPropertyDevices, process.inputDevices,
                      selector::kAudioObjectPropertyScopeInput);
}

// ---- The default output device (the recorder's health watch) ----

void setDefaultOutput(ScriptedHal& hal, AudioObjectID device, bool runningSomewhere) {
    hal.setValue(kSystemObject, selector::kAudioHardwarePropertyDefaultOutputDevice, device);
    hal.setValue(device, selector::kAudioDevicePropertyDeviceIsRunningSomewhere,
                 std::uint32_t{runningSomewhere ? 1u : 0u});
}

} // namespace velko::audio
