// The pulse backend's objects and properties: the system object, sources as
// devices and recording processes as process objects. What the server knows
// is cached and refetched after the server announces a change, so polling an
// unchanged server costs no round trip.
#include "platform/audio/pulse.h"

#include "platform/audio/buffer_list.h"
#include "platform/audio/pulse_hal.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace velko::audio {

std::unique_ptr<Hal> makePulseHal(const std::string& applicationName) {
    return std::make_unique<pulse::PulseHal>(applicationName);
}

std::unique_ptr<Hal> makeSystemHal() { return makePulseHal(program_invocation_short_name); }

namespace pulse {
namespace {

using namespace selector;

void putIds(std::vector<std::uint8_t>& bytes, const std::vector<AudioObjectID>& ids) {
    bytes.resize(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty()) std::memcpy(bytes.data(), ids.data(), bytes.size());
}

// How long the server may name no default source before that is announced.
constexpr pa_usec_t kNoDefaultSourceGraceUsec = 300 * PA_USEC_PER_MSEC;

// A property's bytes as the client set them. A name that is not valid UTF-8
// is kept as binary data, which the string accessor refuses to hand out: a
// client must not hide behind such a name, so the bytes are taken as they
// are (the programs replace what is not UTF-8) and the terminating NUL of a
// text value dropped.
std::optional<std::string> propertyBytes(const pa_proplist* properties, const char* name) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (pa_proplist_get(properties, name, &data, &size) != 0 || data == nullptr) return std::nullopt;
    std::string bytes(static_cast<const char*>(data), size);
    while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    return bytes;
}

} // namespace

PulseHal::PulseHal(std::string applicationName) : connection_(std::move(applicationName)) {
    connection_.onEvent = [this](pa_subscription_event_type_t type, std::uint32_t index) { handleEvent(type, index); };
    connection_.onConnected = [this] { handleConnected(); };
    connection_.onLost = [this] { handleLost(); };
}

PulseHal::~PulseHal() {
    {
        Locked locked(connection_);
        for (auto& [id, aggregate] : aggregates_) aggregate->capture.close();
    }
    connection_.stop();
}

// --- objects ---------------------------------------------------------------

AudioObjectID PulseHal::idFor(Kind kind, const std::string& key, std::uint32_t sourceIndex) {
    const char* kindKey = kind == Kind::source ? "/source/" : kind == Kind::sink ? "/sink/" : "/process/";
    std::string fullKey = std::to_string(connection_.generation()) + kindKey + key;
    auto it = idsByKey_.find(fullKey);
    if (it != idsByKey_.end()) return it->second;
    AudioObjectID id = nextId_++;
    idsByKey_.emplace(fullKey, id);
    objects_.emplace(id, Object{kind, connection_.generation(), sourceIndex, kind == Kind::process ? key : ""});
    return id;
}

const PulseHal::Object* PulseHal::lookup(AudioObjectID id) const {
    auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : &it->second;
}

const PulseHal::SourceRecord* PulseHal::findSource(const Object& object) const {
    if (object.generation != connection_.generation()) return nullptr;
    for (const auto& source : sources_.value()) {
        if (source.index == object.sourceIndex) return &source;
    }
    return nullptr;
}

const ProcessRecord* PulseHal::findProcess(const Object& object) const {
    if (object.generation != connection_.generation()) return nullptr;
    for (const auto& process : processes_.value()) {
        if (process.key == object.processKey) return &process;
    }
    return nullptr;
}

// --- what the server knows ---------------------------------------------------

bool PulseHal::refreshSources() {
    return sources_.refresh([this](std::vector<SourceRecord>& into) {
        pa_context* context = connection_.context();
        if (context == nullptr) return false;
        auto* op = pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int eol, void* list) {
                if (eol != 0 || info == nullptr) return;
                static_cast<std::vector<SourceRecord>*>(list)->push_back(
                    {info->index, info->name != nullptr ? info->name : "", info->sample_spec.rate,
                     info->sample_spec.channels, info->channel_map});
            },
            &into);
        return connection_.wait(op);
    });
}

bool PulseHal::refreshServer() {
    return defaults_.refresh([this](Defaults& into) {
        pa_context* context = connection_.context();
        if (context == nullptr) return false;
        auto* op = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* defaults) {
                if (info == nullptr) return;
                auto* d = static_cast<Defaults*>(defaults);
                d->source = info->default_source_name != nullptr ? info->default_source_name : "";
                d->sink = info->default_sink_name != nullptr ? info->default_sink_name : "";
            },
            &into);
        return connection_.wait(op);
    });
}

bool PulseHal::refreshOutputs() {
    return processes_.refresh([this](std::vector<ProcessRecord>& into) {
        pa_context* context = connection_.context();
        if (context == nullptr) return false;
        std::vector<SourceOutputRecord> streams;
        auto* op = pa_context_get_source_output_info_list(
            context,
            [](pa_context*, const pa_source_output_info* info, int eol, void* list) {
                if (eol != 0 || info == nullptr) return;
                SourceOutputRecord record;
                record.index = info->index;
                record.client = info->client;
                record.source = info->source;
                record.corked = info->corked != 0;
                if (info->resample_method != nullptr) record.resampleMethod = info->resample_method;
                for (const char* name : {"application.id", "application.process.binary", "application.name",
                                         "application.process.id", "media.name", "resample.peaks", "stream.monitor"}) {
                    if (auto value = propertyBytes(info->proplist, name)) record.properties.emplace(name, *value);
                }
                static_cast<std::vector<SourceOutputRecord>*>(list)->push_back(std::move(record));
            },
            &streams);
        if (!connection_.wait(op)) return false;
        into = groupByProcess(std::move(streams));
        return true;
    });
}

void PulseHal::markAllStale() {
    sources_.markStale();
    defaults_.markStale();
    processes_.markStale();
}

// --- properties --------------------------------------------------------------

OSStatus PulseHal::answer(AudioObjectID id, const AudioObjectPropertyAddress& address, Value& value) {
    if (connection_.inLoopThread()) return kIllegalOperation;
    if (connection_.ready() == nullptr) return kNotRunning;
    if (id == kSystemObject) return answerSystem(address, value);
    if (const Aggregate* aggregate = findAggregate(id)) return answerAggregate(*aggregate, address, value);
    // A tap answers nothing of its own here: it is heard through its device.
    if (taps_.contains(id)) return kAudioHardwareUnknownPropertyError;
    const Object* object = lookup(id);
    if (object == nullptr) return kAudioHardwareBadObjectError;
    if (object->kind == Kind::sink) return answerSink(*object, address, value);
    return object->kind == Kind::source ? answerSource(*object, address, value)
                                        : answerProcess(*object, address, value);
}

OSStatus PulseHal::answerSystem(const AudioObjectPropertyAddress& address, Value& value) {
    switch (address.mSelector) {
    case kAudioHardwarePropertyDefaultInputDevice: {
        if (!refreshServer() || !refreshSources()) return kNotRunning;
        AudioObjectID id = kUnknownObject;
        const std::string& defaultSource = defaults_.value().source;
        for (const auto& source : sources_.value()) {
            if (!defaultSource.empty() && source.name == defaultSource) id = sourceId(source.index);
        }
        put(value.bytes, id);
        return kNoErr;
    }
    case kAudioHardwarePropertyDefaultOutputDevice:
        return answerDefaultOutput(value);
    case kAudioHardwarePropertyProcessObjectList: {
        if (!refreshOutputs()) return kNotRunning;
        std::vector<AudioObjectID> ids;
        ids.reserve(processes_.value().size());
        for (const auto& process : processes_.value()) ids.push_back(idFor(Kind::process, process.key, kNoIndex));
        putIds(value.bytes, ids);
        value.isArray = true;
        return kNoErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseHal::answerSource(const Object& object, const AudioObjectPropertyAddress& address, Value& value) {
    if (!refreshSources()) return kNotRunning;
    const SourceRecord* source = findSource(object);
    if (address.mSelector == kAudioDevicePropertyDeviceIsAlive) {
        put(value.bytes, static_cast<std::uint32_t>(source != nullptr ? 1 : 0));
        return kNoErr;
    }
    if (source == nullptr) return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
        value.bytes.assign(kStringRefSize, 0);
        return kNoErr;
    case kAudioDevicePropertyNominalSampleRate:
        put(value.bytes, static_cast<double>(source->rate));
        return kNoErr;
    case kAudioDevicePropertyStreamConfiguration:
        // A source is one input stream of its channel count; it plays nothing.
        value.bytes = streamConfigurationBytes(isInputScope(address) ? std::vector<std::uint32_t>{source->channels}
                                                                     : std::vector<std::uint32_t>{});
        return kNoErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseHal::answerProcess(const Object& object, const AudioObjectPropertyAddress& address, Value& value) {
    if (!refreshOutputs()) return kNotRunning;
    const ProcessRecord* process = findProcess(object);
    if (process == nullptr) return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioProcessPropertyBundleID:
        value.bytes.assign(kStringRefSize, 0);
        return kNoErr;
    case kAudioProcessPropertyIsRunningInput:
        put(value.bytes, static_cast<std::uint32_t>(process->runningInput ? 1 : 0));
        return kNoErr;
    case kAudioProcessPropertyPID:
        if (!process->pid) return kAudioHardwareUnknownPropertyError;
        put(value.bytes, *process->pid);
        return kNoErr;
    case kAudioProcessPropertyDevices: {
        std::vector<AudioObjectID> ids;
        // The process records nothing, so it has no output devices here.
        if (isInputScope(address)) {
            auto sources = process->sources; // sourceId may grow the tables, not this record
            for (auto index : sources) ids.push_back(sourceId(index));
        }
        putIds(value.bytes, ids);
        value.isArray = true;
        return kNoErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseHal::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t& outSize) {
    Locked locked(connection_);
    Value value;
    OSStatus status = answer(object, address, value);
    if (status == kNoErr) outSize = static_cast<std::uint32_t>(value.bytes.size());
    return status;
}

OSStatus PulseHal::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t& ioDataSize, void* data) {
    Locked locked(connection_);
    Value value;
    OSStatus status = answer(object, address, value);
    if (status != kNoErr) return status;
    std::size_t size = value.bytes.size();
    if (value.isArray) {
        // As many whole elements as the buffer holds.
        size = std::min<std::size_t>(size, ioDataSize / sizeof(AudioObjectID) * sizeof(AudioObjectID));
    } else if (ioDataSize < size) {
        return kBadPropertySize;
    }
    if (size > 0) std::memcpy(data, value.bytes.data(), size);
    ioDataSize = static_cast<std::uint32_t>(size);
    return kNoErr;
}

OSStatus PulseHal::getStringProperty(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                     std::optional<std::string>& text) {
    Locked locked(connection_);
    Value value;
    OSStatus status = answer(id, address, value);
    if (status != kNoErr) return status;
    if (const Aggregate* aggregate = findAggregate(id);
        aggregate && address.mSelector == kAudioDevicePropertyDeviceUID) {
        text = aggregate->uid;
        return kNoErr;
    }
    const Object* object = lookup(id);
    if (object == nullptr) return kAudioHardwareUnknownPropertyError;
    if (object->kind == Kind::source && address.mSelector == kAudioDevicePropertyDeviceUID) {
        text = findSource(*object)->name;
        return kNoErr;
    }
    if (object->kind == Kind::process && address.mSelector == kAudioProcessPropertyBundleID) {
        text = findProcess(*object)->bundleId;
        return kNoErr;
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus PulseHal::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t dataSize, const void* data) {
    Locked locked(connection_);
    // Held: a new rate opens the streams again, which waits for the server.
    if (auto aggregate = holdAggregate(object)) {
        if (connection_.inLoopThread()) return kIllegalOperation;
        if (address.mSelector != kAudioDevicePropertyNominalSampleRate) return kUnsupportedOperation;
        return setAggregateRate(*aggregate, dataSize, data);
    }
    Value value;
    OSStatus status = answer(object, address, value);
    if (status != kNoErr) return status;
    // A source's rate belongs to the server and its other users.
    return kUnsupportedOperation;
}

OSStatus PulseHal::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       dispatch::Queue& queue, PropertyListener listener) {
    Locked locked(connection_);
    if (connection_.inLoopThread()) return kIllegalOperation;
    if (connection_.ready() == nullptr) return kNotRunning;
    if (object != kSystemObject && lookup(object) == nullptr && findAggregate(object) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    listeners_.push_back(Listener{object, address, &queue, std::make_shared<PropertyListener>(std::move(listener))});
    return kNoErr;
}

// --- change notifications ----------------------------------------------------

void PulseHal::fire(AudioObjectID object, std::uint32_t sel) {
    for (const auto& listener : listeners_) {
        if (listener.object != object || listener.address.mSelector != sel) continue;
        auto block = listener.block;
        auto address = listener.address;
        listener.queue->async([block, address] { (*block)(1, &address); });
    }
}

void PulseHal::handleEvent(pa_subscription_event_type_t type, std::uint32_t index) {
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        sources_.markStale();
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
            auto it = idsByKey_.find(std::to_string(connection_.generation()) + "/source/" + std::to_string(index));
            if (it != idsByKey_.end()) fire(it->second, kAudioDevicePropertyDeviceIsAlive);
        }
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        processes_.markStale();
        break;
    case PA_SUBSCRIPTION_EVENT_SERVER: {
        defaults_.markStale();
        pa_context* context = connection_.context();
        if (context == nullptr) break;
        // Find out on the loop thread whether the default source changed;
        // the answer comes after every change announced before it.
        auto* op = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* self) {
                if (info == nullptr) return;
                auto* hal = static_cast<PulseHal*>(self);
                hal->defaultSourceIs(info->default_source_name != nullptr ? info->default_source_name : "");
                hal->followDefaultSink(info->default_sink_name != nullptr ? info->default_sink_name : "");
            },
            this);
        if (op != nullptr) pa_operation_unref(op);
        break;
    }
    default:
        break;
    }
}

void PulseHal::defaultSourceIs(std::string name) {
    // PipeWire names no source ("@DEFAULT_SOURCE@") for a moment when the
    // default one goes, before it settles on the next: announcing that
    // would tell of two changes where the user sees one. Only a lack that
    // lasts is announced.
    if (!name.empty() && name.front() == '@') name.clear();
    latestDefaultSource_ = name;
    if (name.empty() && announcedDefaultSource_ && !announcedDefaultSource_->empty()) {
        if (noDefaultTimer_ == nullptr && connection_.context() != nullptr) {
            noDefaultTimer_ = pa_context_rttime_new(
                connection_.context(), pa_rtclock_now() + kNoDefaultSourceGraceUsec,
                [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self) {
                    api->time_free(event);
                    static_cast<PulseHal*>(self)->noDefaultTimer_ = nullptr;
                    static_cast<PulseHal*>(self)->announceNoDefaultSource();
                },
                this);
        }
        return;
    }
    if (noDefaultTimer_ != nullptr) {
        pa_threaded_mainloop_get_api(connection_.loop())->time_free(noDefaultTimer_);
        noDefaultTimer_ = nullptr;
    }
    if (announcedDefaultSource_ && *announcedDefaultSource_ == name) return;
    bool changed = announcedDefaultSource_.has_value();
    announcedDefaultSource_ = name;
    if (changed) fire(kSystemObject, kAudioHardwarePropertyDefaultInputDevice);
}

void PulseHal::announceNoDefaultSource() {
    if (!latestDefaultSource_.empty() || !announcedDefaultSource_ || announcedDefaultSource_->empty()) return;
    announcedDefaultSource_ = std::string();
    fire(kSystemObject, kAudioHardwarePropertyDefaultInputDevice);
}

void PulseHal::handleConnected() {
    markAllStale();
    if (refreshServer()) defaultSourceIs(defaults_.value().source);
}

void PulseHal::handleLost() {
    markAllStale();
    // Every device of that server is gone: its watchers learn it now.
    for (const auto& [id, object] : objects_) {
        if (object.kind == Kind::source && object.generation == connection_.generation()) {
            fire(id, kAudioDevicePropertyDeviceIsAlive);
        }
    }
}

} // namespace pulse
} // namespace velko::audio
