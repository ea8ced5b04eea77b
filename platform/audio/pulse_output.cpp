// The default output device on the pulse backend: the server's default sink,
// and whether something plays to it. Asked only when the recorder finds its
// system audio silent, so nothing here is cached: each read asks the server.
#include "platform/audio/pulse.h"
#include "platform/audio/pulse_hal.h"

#include <cstring>

namespace velko::audio::pulse {
namespace {

using namespace selector;

struct SinkInfo {
    bool found = false;
    std::uint32_t rate = 0;
};

} // namespace

OSStatus PulseHal::answerDefaultOutput(Value& value) {
    if (!refreshServer()) return kNotRunning;
    AudioObjectID id = kUnknownObject;
    const std::string& defaultSink = defaults_.value().sink;
    if (!defaultSink.empty() && defaultSink.front() != '@') {
        // The connection may have gone during the last request.
        pa_context* context = connection_.context();
        if (context == nullptr) return kNotRunning;
        std::uint32_t index = kNoIndex;
        auto* op = pa_context_get_sink_info_by_name(
            context, defaultSink.c_str(),
            [](pa_context*, const pa_sink_info* info, int eol, void* into) {
                if (eol == 0 && info != nullptr) *static_cast<std::uint32_t*>(into) = info->index;
            },
            &index);
        if (!connection_.wait(op)) return kNotRunning;
        if (index != kNoIndex) id = idFor(Kind::sink, std::to_string(index), index);
    }
    put(value.bytes, id);
    return kNoErr;
}

OSStatus PulseHal::answerSink(const Object& object, const AudioObjectPropertyAddress& address, Value& value) {
    SinkInfo sink;
    if (object.generation == connection_.generation()) {
        pa_context* context = connection_.context();
        if (context == nullptr) return kNotRunning;
        auto* op = pa_context_get_sink_info_by_index(
            context, object.sourceIndex,
            [](pa_context*, const pa_sink_info* info, int eol, void* into) {
                if (eol != 0 || info == nullptr) return;
                *static_cast<SinkInfo*>(into) = {true, info->sample_spec.rate};
            },
            &sink);
        // An index the server no longer knows fails the request: the sink
        // is gone, which the answers below say.
        if (!connection_.wait(op) && !connection_.isReady()) return kNotRunning;
    }
    if (address.mSelector == kAudioDevicePropertyDeviceIsAlive) {
        put(value.bytes, static_cast<std::uint32_t>(sink.found ? 1 : 0));
        return kNoErr;
    }
    if (!sink.found) return kAudioHardwareBadObjectError;
    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate:
        put(value.bytes, static_cast<double>(sink.rate));
        return kNoErr;
    case kAudioDevicePropertyDeviceIsRunningSomewhere: {
        // A stream that plays to the sink, uncorked. Recording the sink's
        // monitor (as the tap does) is no playing: it is a source output,
        // not a sink input, so it is not among these.
        struct Query {
            std::uint32_t sink;
            bool playing = false;
        } query{object.sourceIndex};
        pa_context* context = connection_.context();
        if (context == nullptr) return kNotRunning;
        auto* op = pa_context_get_sink_input_info_list(
            context,
            [](pa_context*, const pa_sink_input_info* info, int eol, void* into) {
                if (eol != 0 || info == nullptr) return;
                auto* q = static_cast<Query*>(into);
                if (info->sink == q->sink && info->corked == 0) q->playing = true;
            },
            &query);
        if (!connection_.wait(op)) return kNotRunning;
        put(value.bytes, static_cast<std::uint32_t>(query.playing ? 1 : 0));
        return kNoErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

} // namespace velko::audio::pulse
