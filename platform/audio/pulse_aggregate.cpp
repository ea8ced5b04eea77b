// The recorder's side of the pulse backend: the system-audio tap (what
// plays to the default sink, heard through its monitor), the aggregate
// device that joins it with the microphone, and the IO callbacks that
// receive the two as cycles. The streams themselves are the capture
// engine's (pulse_capture.cpp); here the platform's calls are translated to
// it.
#include "platform/audio/buffer_list.h"
#include "platform/audio/pulse.h"
#include "platform/audio/pulse_hal.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace velko::audio::pulse {
namespace {

using namespace selector;

// The rates a recording may ask for: the server resamples anything in
// between, and nothing below is audio worth recording.
constexpr double kLowestRate = 1000;
constexpr double kHighestRate = PA_RATE_MAX;

bool isString(const AggregateDescription& value, const char* key) {
    return value.is_object() && value.contains(key) && value.at(key).is_string();
}

// The "uid" of the only entry of a list in `description`, or "" when the
// list does not hold exactly one entry with a text uid.
std::string onlyUid(const AggregateDescription& description, const char* listKey, const char* uidKey) {
    if (!description.contains(listKey)) return "";
    const auto& list = description.at(listKey);
    if (!list.is_array() || list.size() != 1 || !isString(list.at(0), uidKey)) return "";
    return list.at(0).at(uidKey).get<std::string>();
}

void deliver(const IOBlock& block, const Cycle& cycle) {
    // Two buffers, microphone first.
    FixedBufferList<2> input({{
        {cycle.micChannels, static_cast<std::uint32_t>(cycle.mic.size() * sizeof(float)),
         const_cast<float*>(cycle.mic.data())},
        {kTapChannels, static_cast<std::uint32_t>(cycle.tap.size() * sizeof(float)),
         const_cast<float*>(cycle.tap.data())},
    }});
    block(&cycle.time, input.list(), &cycle.time, nullptr, &cycle.time);
}

bool placeholder(const std::string& name) { return name.empty() || name.front() == '@'; }

} // namespace

PulseHal::Aggregate::Aggregate(Connection& connection, AudioObjectID id, std::string uid, const SourceRecord& mic,
                               std::string tapName)
    // Until a rate is written, the device runs at the microphone's.
    : id(id), uid(std::move(uid)), rate(mic.rate),
      capture(connection, {mic.name, mic.channels, mic.channelMap}, std::move(tapName), *this) {}

bool PulseHal::Aggregate::running() const {
    for (const auto& proc : procs) {
        if (proc.running) return true;
    }
    return false;
}

void PulseHal::Aggregate::takeCycle(const std::shared_ptr<const Cycle>& cycle) {
    for (const auto& proc : procs) {
        if (!proc.running) continue;
        // Handed over synchronously when the callback's queue is idle, as
        // the platform hands IO blocks to their queue: the block runs here,
        // as that queue's block, without waking its thread. A busy queue
        // gets the cycle queued behind its work; this thread never waits.
        auto run = [block = proc.block, cycle] { deliver(*block, *cycle); };
        if (!proc.queue->runNowIfIdle(run)) proc.queue->async(std::move(run));
    }
}

std::string PulseHal::newUUID() { return randomUUIDText(); }

// --- the tap -----------------------------------------------------------------

std::optional<std::string> PulseHal::defaultSinkMonitor() {
    if (!refreshServer() || placeholder(defaults_.value().sink)) return std::nullopt;
    std::optional<std::string> monitor;
    auto* op = pa_context_get_sink_info_by_name(
        connection_.context(), defaults_.value().sink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* into) {
            if (eol != 0 || info == nullptr || info->monitor_source_name == nullptr) return;
            *static_cast<std::optional<std::string>*>(into) = info->monitor_source_name;
        },
        &monitor);
    if (!connection_.wait(op)) return std::nullopt;
    return monitor;
}

OSStatus PulseHal::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    Locked locked(connection_);
    if (connection_.inLoopThread()) return kIllegalOperation;
    if (connection_.ready() == nullptr) return kNotRunning;
    // The monitor of the default sink carries what every process plays;
    // excluding processes is not possible on it, and listening to it
    // never mutes the sink.
    if (!description.excludedProcesses.empty()) return kUnsupportedOperation;
    if (!defaultSinkMonitor()) return kBadDevice;
    AudioObjectID id = nextId_++;
    taps_.emplace(id, Tap{description.uuid, description.name});
    outTap = id;
    return kNoErr;
}

OSStatus PulseHal::destroyProcessTap(AudioObjectID tap) {
    Locked locked(connection_);
    return taps_.erase(tap) > 0 ? kNoErr : kAudioHardwareBadObjectError;
}

// --- the aggregate device ------------------------------------------------------

PulseHal::Aggregate* PulseHal::findAggregate(AudioObjectID id) { return holdAggregate(id).get(); }

std::shared_ptr<PulseHal::Aggregate> PulseHal::holdAggregate(AudioObjectID id) {
    auto it = aggregates_.find(id);
    return it == aggregates_.end() ? nullptr : it->second;
}

OSStatus PulseHal::withProc(AudioObjectID device, IOProcID id,
                            const std::function<OSStatus(Aggregate&, IOProc&)>& call) {
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    for (auto& proc : aggregate->procs) {
        if (proc.id == id) return call(*aggregate, proc);
    }
    return kIllegalOperation;
}

OSStatus PulseHal::createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDevice) {
    Locked locked(connection_);
    if (connection_.inLoopThread()) return kIllegalOperation;
    if (connection_.ready() == nullptr) return kNotRunning;
    // One microphone and one tap: the shape this backend can build.
    std::string micName = onlyUid(description, aggregate_key::subDeviceList, aggregate_key::subDeviceUID);
    std::string tapUuid = onlyUid(description, aggregate_key::tapList, aggregate_key::subTapUID);
    if (!isString(description, aggregate_key::uid) || micName.empty() || tapUuid.empty()) {
        return kUnsupportedOperation;
    }
    const Tap* tap = nullptr;
    for (const auto& [id, candidate] : taps_) {
        if (candidate.uuid == tapUuid) tap = &candidate;
    }
    if (tap == nullptr) return kBadDevice;
    if (!refreshSources()) return kNotRunning;
    const SourceRecord* mic = nullptr;
    for (const auto& source : sources_.value()) {
        if (source.name == micName) mic = &source;
    }
    if (mic == nullptr) return kBadDevice;

    auto aggregate = std::make_shared<Aggregate>(
        connection_, nextId_++, description.at(aggregate_key::uid).get<std::string>(), *mic, tap->name);
    outDevice = aggregate->id;
    aggregates_.emplace(aggregate->id, std::move(aggregate));
    return kNoErr;
}

OSStatus PulseHal::destroyAggregateDevice(AudioObjectID device) {
    Locked locked(connection_);
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    aggregates_.erase(device);
    return kNoErr;
}

OSStatus PulseHal::answerAggregate(const Aggregate& aggregate, const AudioObjectPropertyAddress& address,
                                   Value& value) {
    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate:
        put(value.bytes, static_cast<double>(aggregate.rate));
        return kNoErr;
    case kAudioDevicePropertyStreamConfiguration: {
        // The microphone's stream in its own channel count, then the tap's,
        // mono; it plays nothing.
        std::vector<std::uint32_t> channels;
        if (isInputScope(address)) channels = {aggregate.capture.micChannels(), kTapChannels};
        value.bytes = streamConfigurationBytes(channels);
        return kNoErr;
    }
    case kAudioDevicePropertyDeviceUID:
        value.bytes.assign(kStringRefSize, 0);
        return kNoErr;
    case kAudioDevicePropertyDeviceIsAlive:
        put(value.bytes, std::uint32_t{1});
        return kNoErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus PulseHal::setAggregateRate(Aggregate& aggregate, std::uint32_t dataSize, const void* data) {
    double requested = 0;
    if (dataSize != sizeof requested || data == nullptr) return kBadPropertySize;
    std::memcpy(&requested, data, sizeof requested);
    // The server takes whole rates only; the read-back tells what was set.
    if (!std::isfinite(requested) || requested < kLowestRate || requested > kHighestRate) return kUnsupportedFormat;
    auto rate = static_cast<std::uint32_t>(std::lround(requested));
    if (rate == aggregate.rate) return kNoErr;
    aggregate.rate = rate;
    fire(aggregate.id, kAudioDevicePropertyNominalSampleRate);
    if (!aggregate.capture.isOpen()) return kNoErr;
    // Already streaming: both streams are opened again at the new rate.
    bool wasRunning = aggregate.running();
    OSStatus status = openCapture(aggregate);
    if (status == kNoErr && wasRunning) aggregate.capture.start();
    return status;
}

// --- IO callbacks ----------------------------------------------------------------

OSStatus PulseHal::createIOProcIDWithBlock(std::optional<IOProcID>& outID, AudioObjectID device, dispatch::Queue& queue,
                                           IOBlock block) {
    Locked locked(connection_);
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    auto id = static_cast<IOProcID>(nextProcId_++);
    aggregate->procs.push_back(IOProc{id, &queue, std::make_shared<IOBlock>(std::move(block))});
    outID = id;
    return kNoErr;
}

OSStatus PulseHal::deviceStart(AudioObjectID device, IOProcID id) {
    Locked locked(connection_);
    if (connection_.inLoopThread()) return kIllegalOperation;
    // Nothing is held when the callback is unknown or already running.
    std::shared_ptr<Aggregate> held;
    OSStatus found = withProc(device, id, [&](Aggregate&, IOProc& proc) {
        if (!proc.running) held = holdAggregate(device);
        return kNoErr;
    });
    if (found != kNoErr || held == nullptr) return found;
    if (!held->capture.isReady()) {
        // Opening waits for the server with the lock let go: meanwhile
        // another thread may add or remove callbacks or destroy the device.
        // `held` keeps the device alive until the open is over; the
        // callback and the device are looked up again after it.
        if (OSStatus status = openCapture(*held); status != kNoErr) return status;
    }
    return withProc(device, id, [](Aggregate& aggregate, IOProc& proc) {
        if (proc.running) return kNoErr;
        if (!aggregate.running() && !aggregate.capture.start()) return kBadDevice;
        proc.running = true;
        return kNoErr;
    });
}

OSStatus PulseHal::deviceStop(AudioObjectID device, IOProcID id) {
    Locked locked(connection_);
    return withProc(device, id, [](Aggregate& aggregate, IOProc& proc) {
        if (!proc.running) return kNoErr;
        // From here on no cycle is handed to this callback; those already
        // handed over still run on its queue.
        proc.running = false;
        if (!aggregate.running()) aggregate.capture.stop();
        return kNoErr;
    });
}

OSStatus PulseHal::destroyIOProcID(AudioObjectID device, IOProcID id) {
    Locked locked(connection_);
    return withProc(device, id, [id](Aggregate& aggregate, IOProc& proc) {
        bool wasRunning = proc.running;
        std::erase_if(aggregate.procs, [id](const IOProc& p) { return p.id == id; });
        if (wasRunning && !aggregate.running()) aggregate.capture.stop();
        return kNoErr;
    });
}

// --- the capture -----------------------------------------------------------------

OSStatus PulseHal::openCapture(Aggregate& aggregate) {
    return aggregate.capture.open(aggregate.rate, latencyTolerance_, [this] { return defaultSinkMonitor(); });
}

void PulseHal::setLatencyTolerance(std::chrono::milliseconds tolerance) {
    Locked locked(connection_);
    latencyTolerance_ = tolerance;
}

void PulseHal::followDefaultSink(const std::string& sink) {
    if (placeholder(sink) || aggregates_.empty()) return;
    pa_context* context = connection_.context();
    if (context == nullptr) return;
    auto* op = pa_context_get_sink_info_by_name(
        context, sink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* self) {
            if (eol != 0 || info == nullptr || info->monitor_source_name == nullptr) return;
            auto* hal = static_cast<PulseHal*>(self);
            for (auto& [id, aggregate] : hal->aggregates_) {
                // Only a device that streams follows; one that has not started
                // finds the default sink when it does.
                if (aggregate->capture.isOpen() && aggregate->capture.tapMonitor() != info->monitor_source_name) {
                    aggregate->capture.retarget(info->monitor_source_name);
                }
            }
        },
        this);
    if (op != nullptr) pa_operation_unref(op);
}

} // namespace velko::audio::pulse
