// The capture callback: each IO cycle brings the microphone's buffers first
// and the tap's buffer last. Both sources are reduced to mono, converted to
// 16-bit samples and interleaved (microphone left, system audio right) onto
// `pending`. Runs on `ioQueue` only; it takes no lock, makes no blocking
// call and, once its scratch arrays have grown, allocates nothing but the
// chunk copies that `flush` hands to `outputQueue` (and a rate converter
// when the device changes its rate).
#include "recorder/recorder.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velko::recorder {
namespace {

// Whole frames in a buffer. The bytes per frame are counted in 64 bits: a
// channel count of 2^30 or more would wrap a 32-bit product and turn a
// harmless buffer into an out-of-bounds read.
std::uint64_t wholeFrames(std::uint32_t channels, std::uint32_t byteSize) {
    const std::uint64_t bytesPerFrame = 4 * std::uint64_t{channels};
    return byteSize >= bytesPerFrame ? byteSize / bytesPerFrame : 0;
}

// Writes the mono signal of `buffer` for `frames` frames into `out` (when
// `accumulate` is false) or adds it (when true). Frames the buffer does not
// hold, or all of them when it has no data, count as silence.
void downmixInto(const AudioBuffer& buffer, std::size_t frames, float* out, bool accumulate) {
    const std::uint32_t c = buffer.mNumberChannels;
    std::size_t n = 0;
    if (c != 0 && buffer.mData != nullptr) {
        n = static_cast<std::size_t>(std::min<std::uint64_t>(frames, wholeFrames(c, buffer.mDataByteSize)));
    }
    if (!accumulate) std::fill(out + n, out + frames, 0.0f);
    if (n == 0) return;
    const auto* in = static_cast<const float*>(buffer.mData);
    if (c == 1) {
        if (accumulate) {
            for (std::size_t f = 0; f < n; ++f) out[f] += in[f];
        } else {
            std::copy(in, in + n, out);
        }
        return;
    }
    const float r = 1.0f / static_cast<float>(c);
    if (c == 2) {
        // The common stereo microphone, with the same arithmetic unrolled.
        for (std::size_t f = 0; f < n; ++f) {
            const float v = (0.0f + in[2 * f] + in[2 * f + 1]) * r;
            out[f] = accumulate ? out[f] + v : v;
        }
        return;
    }
    for (std::size_t f = 0; f < n; ++f) {
        const float* frame = in + f * c;
        float sum = 0.0f;
        for (std::uint32_t ch = 0; ch < c; ++ch) sum += frame[ch];
        if (accumulate) {
            out[f] += sum * r;
        } else {
            out[f] = sum * r;
        }
    }
}

} // namespace

std::int16_t clampToInt16(float sample) {
    float v = sample * 32767.0f;
    // Written as selects rather than early returns so that the interleave
    // loop vectorises; the outcome is the same.
    v = v >= 32767.0f ? 32767.0f : v;
    v = v <= -32768.0f ? -32768.0f : v;
    // Not a number: silence. Converting it would be undefined, and the
    // frames around it must come out as they are.
    v = v == v ? v : 0.0f;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

std::vector<float> monoDownmix(const AudioBuffer& buffer, std::int64_t frames) {
    std::vector<float> result(static_cast<std::size_t>(std::max<std::int64_t>(frames, 0)), 0.0f);
    downmixInto(buffer, result.size(), result.data(), false);
    return result;
}

void captureBlock(Recorder& state, const AudioBufferList* input) {
    if (input == nullptr) return;
    const std::int64_t count = input->mNumberBuffers;
    if (count <= state.tapBufferIndex) return;
    const AudioBuffer* buffers = input->mBuffers;

    std::uint64_t frames = std::numeric_limits<std::int64_t>::max();
    for (std::int64_t i = 0; i < count; ++i) {
        std::uint32_t c = buffers[i].mNumberChannels == 0 ? 1 : buffers[i].mNumberChannels;
        frames = std::min(frames, wholeFrames(c, buffers[i].mDataByteSize));
    }
    if (frames == 0) return;
    const auto n = static_cast<std::size_t>(frames);

    // Microphone: the mean of the per-buffer mono signals.
    auto& mic = state.scratch.mic;
    mic.resize(n);
    const std::int64_t micBuffers = state.tapBufferIndex;
    if (micBuffers == 0) {
        std::fill(mic.begin(), mic.end(), 0.0f);
    } else {
        downmixInto(buffers[0], n, mic.data(), false);
        for (std::int64_t i = 1; i < micBuffers; ++i) downmixInto(buffers[i], n, mic.data(), true);
        if (micBuffers >= 2) {
            const float r = 1.0f / static_cast<float>(micBuffers);
            for (auto& m : mic) m *= r;
        }
    }

    // System audio.
    auto& tap = state.scratch.tap;
    tap.resize(n);
    downmixInto(buffers[state.tapBufferIndex], n, tap.data(), false);

    // At the announced rate, whatever the device runs at now.
    appendFrames(state, convertRate(state, mic.data(), tap.data(), n));
    flush(state, false);
}

void appendFrames(Recorder& state, const RateFrames& frames) {
    // Interleave straight onto the end of `pending`, in one growth step.
    auto& pending = state.pending;
    const std::size_t start = pending.size();
    pending.resize(start + 2 * frames.count);
    std::int16_t* out = pending.data() + start;
    for (std::size_t k = 0; k < frames.count; ++k) {
        out[2 * k] = clampToInt16(frames.mic[k]);
        out[2 * k + 1] = clampToInt16(frames.tap[k]);
    }
    watchSilence(state, out, frames.count);
}

} // namespace velko::recorder
