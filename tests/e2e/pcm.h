// Reading what velko-recorder writes: 2-channel s16le frames, and what a
// stretch of one channel sounds like.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velko::e2e {

struct Stereo {
    std::vector<float> left;  // the microphone
    std::vector<float> right; // system audio
    std::size_t frames() const { return left.size(); }
};

// Whole frames of a byte stream, as floats in -1..1.
Stereo decodeS16le(const std::string& bytes);

// Root mean square of samples [from, from + count).
double rms(const std::vector<float>& samples, std::size_t from, std::size_t count);

// The frequency, in `step` Hz steps from `low` to `high`, at which samples
// [from, from + count) carry the most power.
double dominantFrequency(const std::vector<float>& samples, std::size_t from, std::size_t count, double rate,
                         double low = 100, double high = 4000, double step = 5);

// The first frame from which the samples stay above `level` RMS for
// 20 ms, or the sample count when they never do.
std::size_t onset(const std::vector<float>& samples, double rate, double level);

} // namespace velko::e2e
