// The capture engine: the two record streams of an aggregate device, what
// they deliver pushed into the aligner, and the cycles it yields handed to
// the sink.
#include "platform/audio/pulse_capture.h"

#include "platform/audio/pulse.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace velko::audio::pulse {
namespace {

// The IO cycles handed to the sink: about every 10 ms, as a sound card's
// period would be.
constexpr pa_usec_t kCycleUsec = CycleAligner::kCycleUsec;
// The longest fragment the streams ask the server for. Longer ones would
// save little more (8 wake-ups a second for both streams at this length)
// and would slow down what waits for a fragment: the first audio after a
// start, and the aligner's judgement that a side has stopped (three
// fragments).
constexpr pa_usec_t kLongestFragmentUsec = 250 * PA_USEC_PER_MSEC;
constexpr double kCyclesPerSecond = static_cast<double>(PA_USEC_PER_SEC) / kCycleUsec;

// The longest a stop waits for the server to confirm it. The stop holds
// whatever it is bound to anyway (no cycle is handed over once the sink
// wants none), so a server that does not answer (stopped, stuck) costs the
// recorder this much and no more.
constexpr pa_usec_t kStopWaitUsec = 1000 * PA_USEC_PER_MSEC;

// kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid
constexpr std::uint32_t kTimeStampFlags = 1 | 2;

std::uint64_t hostTimeNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

} // namespace

PulseCapture::PulseCapture(Connection& connection, Microphone microphone, std::string tapName, CycleSink& sink)
    : connection_(connection), microphone_(std::move(microphone)), tapName_(std::move(tapName)), sink_(sink) {}

PulseCapture::~PulseCapture() { close(); }

// --- the streams -------------------------------------------------------------

pa_usec_t PulseCapture::fragmentFor(std::chrono::milliseconds latencyTolerance) {
    // In milliseconds, bounded first: any tolerance is taken, even a
    // negative or an enormous one.
    constexpr auto cycleMs = static_cast<std::int64_t>(kCycleUsec / PA_USEC_PER_MSEC);
    constexpr auto longestMs = static_cast<std::int64_t>(kLongestFragmentUsec / PA_USEC_PER_MSEC);
    std::int64_t quarter = std::clamp<std::int64_t>(latencyTolerance.count(), 0, 4 * longestMs) / 4;
    quarter = std::max(cycleMs, quarter / cycleMs * cycleMs);
    return static_cast<pa_usec_t>(quarter) * PA_USEC_PER_MSEC;
}

OSStatus PulseCapture::open(std::uint32_t rate, std::chrono::milliseconds latencyTolerance,
                            const std::function<std::optional<std::string>()>& findMonitor) {
    close();
    rate_ = rate;
    fragmentUsec_ = fragmentFor(latencyTolerance);
    aligner_ = makeAligner();
    mic_ = openStream(true, microphone_.name, true);
    if (mic_ == nullptr) return connection_.isReady() ? kBadDevice : kNotRunning;
    if (auto monitor = findMonitor()) {
        tap_ = openStream(false, *monitor, true);
        tapMonitor_ = tap_ != nullptr ? *monitor : "";
    }
    auto settled = [](pa_stream* stream) {
        return stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_CREATING;
    };
    while (!settled(mic_) || !settled(tap_)) {
        if (!connection_.isReady()) break;
        pa_threaded_mainloop_wait(connection_.loop());
    }
    if (mic_ == nullptr || pa_stream_get_state(mic_) != PA_STREAM_READY) {
        close();
        return connection_.isReady() ? kBadDevice : kNotRunning;
    }
    // Without a sink to listen to the tap is silence until one appears.
    if (tap_ != nullptr && pa_stream_get_state(tap_) != PA_STREAM_READY) {
        closeStream(tap_);
        tapMonitor_.clear();
    }
    return kNoErr;
}

void PulseCapture::close() {
    closeStream(mic_);
    closeStream(tap_);
}

bool PulseCapture::isReady() const { return mic_ != nullptr && pa_stream_get_state(mic_) == PA_STREAM_READY; }

// Joins the cycles at the length the streams' fragments are asked for.
std::unique_ptr<CycleAligner> PulseCapture::makeAligner() const {
    return std::make_unique<CycleAligner>(
        microphone_.channels, static_cast<std::uint32_t>(std::max<double>(1.0, std::round(rate_ / kCyclesPerSecond))),
        static_cast<std::uint32_t>(fragmentUsec_ / kCycleUsec));
}

pa_buffer_attr PulseCapture::bufferAttr(const pa_sample_spec& spec) const {
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr); // the server's choice for all but the fragment
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentUsec_, &spec));
    return attr;
}

pa_stream* PulseCapture::openStream(bool microphone, const std::string& source, bool corked) {
    pa_context* context = connection_.context();
    if (context == nullptr) return nullptr;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, rate_,
                        static_cast<std::uint8_t>(microphone ? microphone_.channels : kTapChannels)};
    pa_channel_map map;
    if (microphone && pa_channel_map_valid(&microphone_.map) != 0 && microphone_.map.channels == spec.channels) {
        map = microphone_.map; // as the microphone has them, so the server does not remix
    } else if (microphone) {
        pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    } else {
        pa_channel_map_init_mono(&map);
    }
    if (pa_sample_spec_valid(&spec) == 0 || pa_channel_map_valid(&map) == 0) return nullptr;
    const std::string name = microphone ? "Velko microphone" : (tapName_.empty() ? "Velko system audio" : tapName_);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, name.c_str());
    pa_stream* stream = pa_stream_new_with_proplist(context, name.c_str(), &spec, &map, properties);
    pa_proplist_free(properties);
    if (stream == nullptr) return nullptr;
    pa_stream_set_state_callback(stream, &PulseCapture::streamStateChanged, this);
    pa_stream_set_read_callback(stream, &PulseCapture::streamRead, this);
    pa_buffer_attr attr = bufferAttr(spec);
    // Pinned to its source: a microphone stream must end with its device
    // rather than be moved to record another, and the tap is moved by us
    // when the default sink changes, never by the server.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                                (corked ? PA_STREAM_START_CORKED : 0));
    if (pa_stream_connect_record(stream, source.c_str(), &attr, flags) < 0) closeStream(stream);
    return stream;
}

void PulseCapture::closeStream(pa_stream*& stream) {
    if (stream == nullptr) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

void PulseCapture::streamStateChanged(pa_stream* stream, void* userdata) {
    auto* capture = static_cast<PulseCapture*>(userdata);
    capture->connection_.signal();
    auto state = pa_stream_get_state(stream);
    if (PA_STREAM_IS_GOOD(state) || stream != capture->tap_) return;
    // The tap's monitor went with its sink: silence until the server names
    // a new default sink, which the tap then follows. (A microphone stream
    // that ends stays ended: its device is gone.)
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        capture->tapMonitor_.clear();
        // Released once this callback is over, not from inside it.
        pa_mainloop_api_once(
            pa_threaded_mainloop_get_api(capture->connection_.loop()),
            [](pa_mainloop_api*, void* s) { pa_stream_unref(static_cast<pa_stream*>(s)); }, stream);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        capture->tap_ = nullptr;
    }
}

void PulseCapture::retarget(const std::string& monitor) {
    closeStream(tap_);
    tap_ = openStream(false, monitor, !sink_.wantsCycles());
    tapMonitor_ = tap_ != nullptr ? monitor : "";
}

// --- running -----------------------------------------------------------------

bool PulseCapture::start() {
    if (aligner_) aligner_->reset();
    return setCorked(false);
}

void PulseCapture::stop() {
    if (!connection_.inLoopThread()) setCorked(true, pa_rtclock_now() + kStopWaitUsec);
    if (aligner_) aligner_->reset();
}

bool PulseCapture::setCorked(bool corked, pa_usec_t deadline) {
    bool ok = true;
    for (pa_stream* stream : {mic_, tap_}) {
        if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
            if (stream == mic_) ok = false;
            continue;
        }
        bool done = connection_.waitUntil(pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr), deadline);
        if (stream == mic_) ok = ok && done;
    }
    return ok;
}

// --- the cycles --------------------------------------------------------------

void PulseCapture::streamRead(pa_stream* stream, std::size_t, void* capture) {
    static_cast<PulseCapture*>(capture)->streamReadable(stream);
}

void PulseCapture::streamReadable(pa_stream* stream) {
    bool microphone = stream == mic_;
    bool use = (microphone || stream == tap_) && sink_.wantsCycles() && aligner_;
    std::size_t frameBytes = sizeof(float) * (microphone ? microphone_.channels : kTapChannels);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        if (use) {
            // A fragment without data is a hole in the stream: silence.
            const auto* samples = static_cast<const float*>(data);
            std::size_t frames = bytes / frameBytes;
            if (microphone) {
                aligner_->pushMic(samples, frames, pa_rtclock_now());
            } else {
                aligner_->pushTap(samples, frames, pa_rtclock_now());
            }
        }
        pa_stream_drop(stream);
    }
    if (use) emitCycles();
}

void PulseCapture::emitCycles() {
    std::vector<float> mic, tap;
    while (aligner_->nextCycle(mic, tap)) {
        auto cycle = std::make_shared<Cycle>();
        cycle->micChannels = microphone_.channels;
        cycle->time.mSampleTime = sampleTime_;
        cycle->time.mHostTime = hostTimeNow();
        cycle->time.mRateScalar = 1.0;
        cycle->time.mFlags = kTimeStampFlags;
        sampleTime_ += static_cast<double>(aligner_->cycleFrames());
        cycle->mic = std::move(mic);
        cycle->tap = std::move(tap);
        sink_.takeCycle(cycle);
        mic = {};
        tap = {};
    }
}

} // namespace velko::audio::pulse
