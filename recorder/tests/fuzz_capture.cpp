// Feeds arbitrary buffer lists to captureBlock: any buffer count, channel
// count (including ones that would wrap a 32-bit byte count), byte size,
// null data and sample bits (NaN and infinities included). Checks that each
// cycle appends exactly its whole frames and that flush leaves less than a
// chunk behind. Some inputs run with the silence watch on (at a short
// threshold) and the device at another rate than the stream's, so that the
// same samples go through the rate converter; those cycles append whole
// frames, as many as the converter gives.
#include "platform/audio/scripted.h"
#include "recorder/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace velko;

namespace {

// Runs each chunk writer at once, so the fuzzer's iterations stay
// independent of a writer thread.
class InlineQueue final : public dispatch::Queue {
public:
    void async(dispatch::Work work) override { work(); }
    void sync(dispatch::Work work) override { work(); }
    const std::string& label() const override { return label_; }
    void* native() const override { return nullptr; }

private:
    std::string label_ = "inline";
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u16() { return static_cast<std::uint32_t>(byte()) | (static_cast<std::uint32_t>(byte()) << 8); }
    // The remaining bytes as sample bits, repeated as needed.
    void fill(float* out, std::size_t floats) {
        std::size_t left = size_ - std::min(pos_, size_);
        for (std::size_t i = 0; i < floats; ++i) {
            std::uint32_t bits = 0;
            for (int b = 0; b < 4; ++b) {
                bits |= left == 0 ? 0 : static_cast<std::uint32_t>(data_[pos_ + (i * 4 + b) % left]) << (8 * b);
            }
            std::memcpy(out + i, &bits, 4);
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::uint64_t wholeFrames(std::uint32_t channels, std::uint32_t bytes) {
    std::uint64_t perFrame = 4 * std::uint64_t{channels == 0 ? 1u : channels};
    return bytes >= perFrame ? bytes / perFrame : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static audio::ScriptedHal hal;
    static recorder::Recorder* state = [] {
        auto* s = new recorder::Recorder(hal);
        s->outputQueue = std::make_unique<InlineQueue>();
        s->outputFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        s->health.emit = [](const events::Event&) {};
        return s;
    }();

    Input in(data, size);
    // Device rates that take the converter, and the stream's own.
    static const double kDeviceRates[] = {48000.0, 24000.0, 16000.0, 44100.0, 8000.0, 96000.0};
    const std::uint8_t health = in.byte();
    const bool converting = (health & 0x80) != 0;
    state->actualRate = 48000.0;
    state->health.silenceFrames = converting ? 1 + health % 64 : 0;
    state->health.deviceRate.store(converting ? kDeviceRates[health % 6] : 48000.0);
    state->tapBufferIndex = 1 + in.byte() % 3;
    state->chunkFrames = 1 + in.byte() % 64;
    state->pending.clear();

    static const std::uint32_t kChannels[] = {0, 1, 2, 3, 7, 0x40000000u, 0x40000001u, 0xFFFFFFFFu};
    const int buffers = in.byte() % 6;
    struct Spec {
        std::uint32_t channels, bytes;
        bool null;
    };
    std::vector<Spec> specs;
    for (int i = 0; i < buffers; ++i) {
        std::uint8_t kind = in.byte();
        specs.push_back({kChannels[kind % 8], in.u16() % 4100, (kind & 0x80) != 0});
    }
    audio::ScriptedBufferList list;
    for (const auto& spec : specs) {
        if (spec.null) {
            list.addNull(spec.channels, spec.bytes);
            continue;
        }
        std::vector<float> samples((spec.bytes + 3) / 4);
        in.fill(samples.data(), samples.size());
        list.add(spec.channels, samples, spec.bytes);
    }

    for (int cycle = 0; cycle < 3; ++cycle) {
        std::uint64_t frames = 0;
        if (static_cast<std::int64_t>(specs.size()) > state->tapBufferIndex) {
            frames = UINT64_MAX;
            for (const auto& spec : specs) frames = std::min(frames, wholeFrames(spec.channels, spec.bytes));
        }
        const std::size_t chunk = static_cast<std::size_t>(2 * state->chunkFrames);
        const std::size_t before = state->pending.size();
        recorder::captureBlock(*state, list.list());
        const std::size_t after = state->pending.size();
        const std::size_t expected = frames == 0 ? before : (before + 2 * frames) % chunk;
        if ((!converting && after != expected) || after % 2 != 0 || after >= chunk) __builtin_trap();
    }
    // The stop: what the converter holds back, then everything pending.
    recorder::finishRateConversion(*state);
    recorder::flush(*state, true);
    if (!state->pending.empty()) __builtin_trap();
    // The silence hand-overs run on the main queue, as in the program.
    bool served = false;
    dispatch::Queue::main().async([&served] { served = true; });
    dispatch::runMainUntil([&served] { return served; }, std::chrono::seconds(5));
    hal.clearCalls();
    return 0;
}
