// The recorder's side of the pulse backend: the system-audio tap (a record
// stream on the monitor of the default sink), the aggregate device that
// joins it with a record stream on the microphone, and the IO callbacks that
// receive the two as cycles of equal frame counts.
#include "platform/audio/pulse.h"
#include "platform/audio/pulse_hal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace velko::audio::pulse {
namespace {

using namespace selector;

// The IO cycles handed to the callbacks: about every 10 ms, as a sound
// card's period would be.
constexpr pa_usec_t kCycleUsec = 10 * PA_USEC_PER_MSEC;
// The longest fragment the streams ask the server for. Longer ones would
// save little more (8 wake-ups a second for both streams at this length)
// and would slow down what waits for a fragment: the first audio after a
// start, and the aligner's judgement that a side has stopped (three
// fragments).
constexpr pa_usec_t kLongestFragmentUsec = 250 * PA_USEC_PER_MSEC;
// The rates a recording may ask for: the server resamples anything in
// between, and nothing below is audio worth recording.
constexpr double kLowestRate = 1000;
constexpr double kHighestRate = PA_RATE_MAX;

// The longest a stop waits for the server to confirm it. The stop holds
// whatever it is bound to anyway (no cycle is handed over once the callback
// is marked stopped), so a server that does not answer (stopped, stuck)
// costs the recorder this much and no more.
constexpr pa_usec_t kStopWaitUsec = 1000 * PA_USEC_PER_MSEC;

// kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid
constexpr std::uint32_t kTimeStampFlags = 1 | 2;

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

// One IO cycle, shared by the IO callbacks it goes to.
struct Cycle {
    std::vector<float> mic;
    std::vector<float> tap;
    std::uint32_t micChannels = 0;
    AudioTimeStamp time{};
};

void deliver(const IOBlock& block, const Cycle& cycle) {
    // The platform's layout: the count, then two buffers, microphone first.
    alignas(AudioBufferList) std::byte storage[offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer)]{};
    auto* list = reinterpret_cast<AudioBufferList*>(storage);
    list->mNumberBuffers = 2;
    AudioBuffer buffers[2] = {
        {cycle.micChannels, static_cast<std::uint32_t>(cycle.mic.size() * sizeof(float)),
         const_cast<float*>(cycle.mic.data())},
        {1, static_cast<std::uint32_t>(cycle.tap.size() * sizeof(float)), const_cast<float*>(cycle.tap.data())},
    };
    std::memcpy(storage + offsetof(AudioBufferList, mBuffers), buffers, sizeof buffers);
    block(&cycle.time, list, &cycle.time, nullptr, &cycle.time);
}

std::uint64_t hostTimeNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

bool placeholder(const std::string& name) { return name.empty() || name.front() == '@'; }

} // namespace

bool PulseHal::Aggregate::running() const {
    for (const auto& proc : procs) {
        if (proc.running) return true;
    }
    return false;
}

std::string PulseHal::newUUID() { return randomUUIDText(); }

// --- the tap -----------------------------------------------------------------

std::optional<std::string> PulseHal::defaultSinkMonitor() {
    if (!refreshServer() || placeholder(defaultSink_)) return std::nullopt;
    std::optional<std::string> monitor;
    auto* op = pa_context_get_sink_info_by_name(
        connection_.context(), defaultSink_.c_str(),
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

PulseHal::Aggregate* PulseHal::findAggregate(AudioObjectID id) {
    auto it = aggregates_.find(id);
    return it == aggregates_.end() ? nullptr : it->second.get();
}

PulseHal::IOProc* PulseHal::findProc(Aggregate& aggregate, IOProcID id) {
    for (auto& proc : aggregate.procs) {
        if (proc.id == id) return &proc;
    }
    return nullptr;
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
    for (const auto& source : sources_) {
        if (source.name == micName) mic = &source;
    }
    if (mic == nullptr) return kBadDevice;

    auto aggregate = std::make_unique<Aggregate>();
    aggregate->hal = this;
    aggregate->id = nextId_++;
    aggregate->uid = description.at(aggregate_key::uid).get<std::string>();
    aggregate->tapName = tap->name;
    aggregate->micName = micName;
    aggregate->micChannels = mic->channels;
    aggregate->micMap = mic->channelMap;
    // Until a rate is written, the device runs at the microphone's.
    aggregate->rate = mic->rate;
    outDevice = aggregate->id;
    aggregates_.emplace(aggregate->id, std::move(aggregate));
    return kNoErr;
}

OSStatus PulseHal::destroyAggregateDevice(AudioObjectID device) {
    Locked locked(connection_);
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    closeStream(aggregate->micStream);
    closeStream(aggregate->tapStream);
    aggregates_.erase(device);
    return kNoErr;
}

OSStatus PulseHal::answerAggregate(const Aggregate& aggregate, const AudioObjectPropertyAddress& address,
                                   Value& value) {
    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate: {
        double rate = aggregate.rate;
        value.bytes.resize(sizeof rate);
        std::memcpy(value.bytes.data(), &rate, sizeof rate);
        return kNoErr;
    }
    case kAudioDevicePropertyStreamConfiguration: {
        // The microphone's stream in its own channel count, then the tap's,
        // mono; it plays nothing.
        bool input = address.mScope != fourCC("outp");
        std::vector<std::uint32_t> channels;
        if (input) channels = {aggregate.micChannels, 1};
        value.bytes.assign(offsetof(AudioBufferList, mBuffers) + channels.size() * sizeof(AudioBuffer), 0);
        auto count = static_cast<std::uint32_t>(channels.size());
        std::memcpy(value.bytes.data(), &count, sizeof count);
        for (std::size_t i = 0; i < channels.size(); ++i) {
            AudioBuffer buffer{channels[i], 0, nullptr};
            std::memcpy(value.bytes.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer), &buffer,
                        sizeof buffer);
        }
        return kNoErr;
    }
    case kAudioDevicePropertyDeviceUID:
        value.bytes.assign(8, 0);
        return kNoErr;
    case kAudioDevicePropertyDeviceIsAlive: {
        std::uint32_t alive = 1;
        value.bytes.resize(sizeof alive);
        std::memcpy(value.bytes.data(), &alive, sizeof alive);
        return kNoErr;
    }
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
    if (aggregate.micStream == nullptr) return kNoErr;
    // Already streaming: both streams are opened again at the new rate.
    bool wasRunning = aggregate.running();
    closeStream(aggregate.micStream);
    closeStream(aggregate.tapStream);
    OSStatus status = connectStreams(aggregate);
    if (status == kNoErr && wasRunning) setCorked(aggregate, false);
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
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    IOProc* proc = findProc(*aggregate, id);
    if (proc == nullptr) return kIllegalOperation;
    if (proc->running) return kNoErr;
    if (aggregate->micStream == nullptr || pa_stream_get_state(aggregate->micStream) != PA_STREAM_READY) {
        closeStream(aggregate->micStream);
        closeStream(aggregate->tapStream);
        if (OSStatus status = connectStreams(*aggregate); status != kNoErr) return status;
    }
    if (!aggregate->running()) {
        aggregate->aligner->reset();
        if (!setCorked(*aggregate, false)) return kBadDevice;
    }
    proc->running = true;
    return kNoErr;
}

OSStatus PulseHal::deviceStop(AudioObjectID device, IOProcID id) {
    Locked locked(connection_);
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    IOProc* proc = findProc(*aggregate, id);
    if (proc == nullptr) return kIllegalOperation;
    if (!proc->running) return kNoErr;
    // From here on no cycle is handed to this callback; those already
    // handed over still run on its queue.
    proc->running = false;
    if (!aggregate->running()) {
        if (!connection_.inLoopThread()) setCorked(*aggregate, true, pa_rtclock_now() + kStopWaitUsec);
        if (aggregate->aligner) aggregate->aligner->reset();
    }
    return kNoErr;
}

OSStatus PulseHal::destroyIOProcID(AudioObjectID device, IOProcID id) {
    Locked locked(connection_);
    Aggregate* aggregate = findAggregate(device);
    if (aggregate == nullptr) return kAudioHardwareBadObjectError;
    IOProc* proc = findProc(*aggregate, id);
    if (proc == nullptr) return kIllegalOperation;
    bool wasRunning = proc->running;
    std::erase_if(aggregate->procs, [id](const IOProc& p) { return p.id == id; });
    if (wasRunning && !aggregate->running() && !connection_.inLoopThread()) {
        setCorked(*aggregate, true, pa_rtclock_now() + kStopWaitUsec);
    }
    return kNoErr;
}

// --- the streams -----------------------------------------------------------------

// The fragment the streams are read in: a quarter of what the recorder can
// wait for, in whole cycles, from one cycle up to kLongestFragmentUsec. The
// server then wakes the recorder a few times per chunk, and a chunk waits at
// most a quarter of its length for its last fragment.
pa_usec_t PulseHal::fragmentUsec() const {
    // In milliseconds, bounded first: any tolerance is taken, even a
    // negative or an enormous one.
    constexpr auto cycleMs = static_cast<std::int64_t>(kCycleUsec / PA_USEC_PER_MSEC);
    constexpr auto longestMs = static_cast<std::int64_t>(kLongestFragmentUsec / PA_USEC_PER_MSEC);
    std::int64_t quarter = std::clamp<std::int64_t>(latencyTolerance_.count(), 0, 4 * longestMs) / 4;
    quarter = std::max(cycleMs, quarter / cycleMs * cycleMs);
    return static_cast<pa_usec_t>(quarter) * PA_USEC_PER_MSEC;
}

void PulseHal::setLatencyTolerance(std::chrono::milliseconds tolerance) {
    Locked locked(connection_);
    latencyTolerance_ = tolerance;
}

pa_stream* PulseHal::openStream(Aggregate& aggregate, bool microphone, const std::string& source, bool corked) {
    pa_context* context = connection_.context();
    if (context == nullptr) return nullptr;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, aggregate.rate,
                        static_cast<std::uint8_t>(microphone ? aggregate.micChannels : 1)};
    pa_channel_map map;
    if (microphone && pa_channel_map_valid(&aggregate.micMap) != 0 && aggregate.micMap.channels == spec.channels) {
        map = aggregate.micMap; // as the microphone has them, so the server does not remix
    } else if (microphone) {
        pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    } else {
        pa_channel_map_init_mono(&map);
    }
    if (pa_sample_spec_valid(&spec) == 0 || pa_channel_map_valid(&map) == 0) return nullptr;
    const std::string name =
        microphone ? "Velko microphone" : (aggregate.tapName.empty() ? "Velko system audio" : aggregate.tapName);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, name.c_str());
    pa_stream* stream = pa_stream_new_with_proplist(context, name.c_str(), &spec, &map, properties);
    pa_proplist_free(properties);
    if (stream == nullptr) return nullptr;
    pa_stream_set_state_callback(stream, &PulseHal::streamStateChanged, &aggregate);
    pa_stream_set_read_callback(stream, &PulseHal::streamRead, &aggregate);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr); // the server's choice for all but the fragment
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentUsec(), &spec));
    // Pinned to its source: a microphone stream must end with its device
    // rather than be moved to record another, and the tap is moved by us
    // when the default sink changes, never by the server.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                                (corked ? PA_STREAM_START_CORKED : 0));
    if (pa_stream_connect_record(stream, source.c_str(), &attr, flags) < 0) closeStream(stream);
    return stream;
}

void PulseHal::closeStream(pa_stream*& stream) {
    if (stream == nullptr) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

OSStatus PulseHal::connectStreams(Aggregate& aggregate) {
    aggregate.aligner = std::make_unique<CycleAligner>(
        aggregate.micChannels, static_cast<std::uint32_t>(std::max<double>(1.0, std::round(aggregate.rate / 100.0))),
        static_cast<std::uint32_t>(fragmentUsec() / kCycleUsec));
    aggregate.micStream = openStream(aggregate, true, aggregate.micName, true);
    if (aggregate.micStream == nullptr) return connection_.isReady() ? kBadDevice : kNotRunning;
    if (auto monitor = defaultSinkMonitor()) {
        aggregate.tapStream = openStream(aggregate, false, *monitor, true);
        aggregate.tapMonitor = aggregate.tapStream != nullptr ? *monitor : "";
    }
    auto settled = [](pa_stream* stream) {
        return stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_CREATING;
    };
    while (!settled(aggregate.micStream) || !settled(aggregate.tapStream)) {
        if (!connection_.isReady()) break;
        pa_threaded_mainloop_wait(connection_.loop());
    }
    if (aggregate.micStream == nullptr || pa_stream_get_state(aggregate.micStream) != PA_STREAM_READY) {
        closeStream(aggregate.micStream);
        closeStream(aggregate.tapStream);
        return connection_.isReady() ? kBadDevice : kNotRunning;
    }
    // Without a sink to listen to the tap is silence until one appears.
    if (aggregate.tapStream != nullptr && pa_stream_get_state(aggregate.tapStream) != PA_STREAM_READY) {
        closeStream(aggregate.tapStream);
        aggregate.tapMonitor.clear();
    }
    return kNoErr;
}

bool PulseHal::setCorked(Aggregate& aggregate, bool corked, pa_usec_t deadline) {
    bool ok = true;
    for (pa_stream* stream : {aggregate.micStream, aggregate.tapStream}) {
        if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
            if (stream == aggregate.micStream) ok = false;
            continue;
        }
        bool done = connection_.waitUntil(pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr), deadline);
        if (stream == aggregate.micStream) ok = ok && done;
    }
    return ok;
}

void PulseHal::streamStateChanged(pa_stream* stream, void* userdata) {
    auto* aggregate = static_cast<Aggregate*>(userdata);
    PulseHal* hal = aggregate->hal;
    hal->connection_.signal();
    auto state = pa_stream_get_state(stream);
    if (PA_STREAM_IS_GOOD(state) || stream != aggregate->tapStream) return;
    // The tap's monitor went with its sink: silence until the server names
    // a new default sink, which the tap then follows. (A microphone stream
    // that ends stays ended: its device is gone.)
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        aggregate->tapMonitor.clear();
        // Released once this callback is over, not from inside it.
        pa_mainloop_api_once(
            pa_threaded_mainloop_get_api(hal->connection_.loop()),
            [](pa_mainloop_api*, void* s) { pa_stream_unref(static_cast<pa_stream*>(s)); }, stream);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        aggregate->tapStream = nullptr;
    }
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
                if (aggregate->micStream != nullptr && aggregate->tapMonitor != info->monitor_source_name) {
                    hal->retargetTap(*aggregate, info->monitor_source_name);
                }
            }
        },
        this);
    if (op != nullptr) pa_operation_unref(op);
}

void PulseHal::retargetTap(Aggregate& aggregate, const std::string& monitor) {
    closeStream(aggregate.tapStream);
    aggregate.tapStream = openStream(aggregate, false, monitor, !aggregate.running());
    aggregate.tapMonitor = aggregate.tapStream != nullptr ? monitor : "";
}

void PulseHal::streamRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* aggregate = static_cast<Aggregate*>(userdata);
    aggregate->hal->streamReadable(*aggregate, stream);
}

void PulseHal::streamReadable(Aggregate& aggregate, pa_stream* stream) {
    bool microphone = stream == aggregate.micStream;
    bool use = (microphone || stream == aggregate.tapStream) && aggregate.running() && aggregate.aligner;
    std::size_t frameBytes = sizeof(float) * (microphone ? aggregate.micChannels : 1);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        if (use) {
            // A fragment without data is a hole in the stream: silence.
            const auto* samples = static_cast<const float*>(data);
            std::size_t frames = bytes / frameBytes;
            if (microphone) {
                aggregate.aligner->pushMic(samples, frames, pa_rtclock_now());
            } else {
                aggregate.aligner->pushTap(samples, frames, pa_rtclock_now());
            }
        }
        pa_stream_drop(stream);
    }
    if (use) emitCycles(aggregate);
}

void PulseHal::emitCycles(Aggregate& aggregate) {
    std::vector<float> mic, tap;
    while (aggregate.aligner->nextCycle(mic, tap)) {
        auto cycle = std::make_shared<Cycle>();
        cycle->micChannels = aggregate.micChannels;
        cycle->time.mSampleTime = aggregate.sampleTime;
        cycle->time.mHostTime = hostTimeNow();
        cycle->time.mRateScalar = 1.0;
        cycle->time.mFlags = kTimeStampFlags;
        aggregate.sampleTime += static_cast<double>(aggregate.aligner->cycleFrames());
        cycle->mic = std::move(mic);
        cycle->tap = std::move(tap);
        for (const auto& proc : aggregate.procs) {
            if (!proc.running) continue;
            // Handed over synchronously when the callback's queue is idle, as
            // the platform hands IO blocks to their queue: the block runs here,
            // as that queue's block, without waking its thread. A busy queue
            // gets the cycle queued behind its work; this thread never waits.
            auto run = [block = proc.block, cycle] { deliver(*block, *cycle); };
            if (!proc.queue->runNowIfIdle(run)) proc.queue->async(std::move(run));
        }
        mic = {};
        tap = {};
    }
}

} // namespace velko::audio::pulse
