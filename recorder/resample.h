// Streaming sample-rate conversion of the two capture channels, for a device
// that changes its rate under a running recording. The stream keeps the rate
// announced in "ready"; a converter turns the device's frames into frames at
// that rate. Behind this seam sits libsoxr; a build without it (a link check
// for a target that lacks the library) gets no converter and passes frames
// through unchanged.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace velko::recorder {

class Resampler {
public:
    Resampler() = default;
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    virtual ~Resampler() = default;

    // A converter from `inputRate` to `outputRate` for the two channels, or
    // null when none can be made (no library, or rates it refuses).
    static std::unique_ptr<Resampler> make(double inputRate, double outputRate);

    // Converts `frames` frames of both channels and appends what comes out
    // to `outMic` and `outTap` (always the same number of frames to each).
    // Output lags the input by the filter's delay; `drain` gives it back.
    virtual void process(const float* mic, const float* tap, std::size_t frames, std::vector<float>& outMic,
                         std::vector<float>& outTap) = 0;
    // Ends the input: appends everything still held back, so that the
    // output covers exactly the time of the input. The converter is spent.
    virtual void drain(std::vector<float>& outMic, std::vector<float>& outTap) = 0;
};

} // namespace velko::recorder
