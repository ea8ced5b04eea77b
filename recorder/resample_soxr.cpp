// The converter on libsoxr: its high-quality recipe (20-bit precision,
// linear phase, so the output keeps the input's timing), split float
// channels in and out, one thread.
#include "recorder/resample.h"

#include <soxr.h>

#include <cmath>

namespace velko::recorder {
namespace {

class SoxrResampler final : public Resampler {
public:
    SoxrResampler(soxr_t soxr, double ratio) : soxr_(soxr), ratio_(ratio) {}
    ~SoxrResampler() override { soxr_delete(soxr_); }

    void process(const float* mic, const float* tap, std::size_t frames, std::vector<float>& outMic,
                 std::vector<float>& outTap) override {
        while (frames > 0) {
            // Room for all this input gives; soxr takes what it can and the
            // loop offers the rest.
            const auto room = static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio_)) + 64;
            std::size_t used = 0;
            const std::size_t made = run(mic, tap, frames, &used, room, outMic, outTap);
            if (used == 0 && made == 0) return; // refuses input: drop it rather than spin
            mic += used;
            tap += used;
            frames -= used;
        }
    }

    void drain(std::vector<float>& outMic, std::vector<float>& outTap) override {
        while (run(nullptr, nullptr, 0, nullptr, 1024, outMic, outTap) > 0) {
        }
    }

private:
    // One soxr_process call appending at most `room` frames; returns them.
    std::size_t run(const float* mic, const float* tap, std::size_t frames, std::size_t* used, std::size_t room,
                    std::vector<float>& outMic, std::vector<float>& outTap) {
        const std::size_t start = outMic.size();
        outMic.resize(start + room);
        outTap.resize(start + room);
        const void* in[2] = {mic, tap};
        void* out[2] = {outMic.data() + start, outTap.data() + start};
        std::size_t made = 0;
        // soxr takes the split channels as an array of buffers behind its
        // untyped in and out parameters.
        const soxr_in_t input = mic == nullptr ? nullptr : static_cast<soxr_in_t>(in);
        soxr_error_t error = soxr_process(soxr_, input, frames, used, static_cast<soxr_out_t>(out), room, &made);
        if (error != nullptr) made = 0;
        outMic.resize(start + made);
        outTap.resize(start + made);
        return made;
    }

    soxr_t soxr_;
    double ratio_;
};

} // namespace

std::unique_ptr<Resampler> Resampler::make(double inputRate, double outputRate) {
    if (!(inputRate > 0) || !(outputRate > 0) || !std::isfinite(inputRate) || !std::isfinite(outputRate)) {
        return nullptr;
    }
    // Beyond this the output of one cycle would dwarf any real device's;
    // no device changes its rate that far.
    const double ratio = outputRate / inputRate;
    if (ratio < 1.0 / 64 || ratio > 64) return nullptr;
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_t soxr = soxr_create(inputRate, outputRate, 2, &error, &io, &quality, &runtime);
    if (soxr == nullptr || error != nullptr) {
        if (soxr != nullptr) soxr_delete(soxr);
        return nullptr;
    }
    return std::make_unique<SoxrResampler>(soxr, ratio);
}

} // namespace velko::recorder
