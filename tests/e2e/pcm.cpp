#include "tests/e2e/pcm.h"

#include <cmath>
#include <cstdint>
#include <numbers>

namespace velko::e2e {

Stereo decodeS16le(const std::string& bytes) {
    Stereo pcm;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        auto sample = [&](std::size_t at) {
            auto value = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                                   (static_cast<std::uint8_t>(bytes[at + 1]) << 8));
            return static_cast<float>(value) / 32768.0f;
        };
        pcm.left.push_back(sample(i));
        pcm.right.push_back(sample(i + 2));
    }
    return pcm;
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = from; i < from + count && i < samples.size(); ++i, ++n) sum += samples[i] * samples[i];
    return n == 0 ? 0 : std::sqrt(sum / static_cast<double>(n));
}

// Goertzel's algorithm: the power of one frequency.
static double power(const std::vector<float>& samples, std::size_t from, std::size_t count, double rate,
                    double frequency) {
    double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    double s1 = 0, s2 = 0;
    for (std::size_t i = from; i < from + count && i < samples.size(); ++i) {
        double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

double dominantFrequency(const std::vector<float>& samples, std::size_t from, std::size_t count, double rate,
                         double low, double high, double step) {
    double best = 0, bestPower = -1;
    for (double f = low; f <= high && f < rate / 2; f += step) {
        double p = power(samples, from, count, rate, f);
        if (p > bestPower) {
            bestPower = p;
            best = f;
        }
    }
    return best;
}

std::size_t onset(const std::vector<float>& samples, double rate, double level) {
    auto window = static_cast<std::size_t>(rate / 50);
    for (std::size_t i = 0; i + window <= samples.size(); i += window / 4 + 1) {
        if (rms(samples, i, window) > level) return i;
    }
    return samples.size();
}

} // namespace velko::e2e
