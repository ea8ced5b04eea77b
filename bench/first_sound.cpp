// Reads interleaved PCM on standard input and prints, as seconds since the
// epoch, the moment the first frame louder than a threshold arrived on one
// channel; then reads on to the end, so the writer is never blocked.
//   velko-first-sound CHANNELS CHANNEL s16|f32 [THRESHOLD]
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        (void)std::fprintf(stderr, "usage: velko-first-sound CHANNELS CHANNEL s16|f32 [THRESHOLD]\n");
        return 2;
    }
    const std::size_t channels = std::strtoul(argv[1], nullptr, 10);
    const std::size_t channel = std::strtoul(argv[2], nullptr, 10);
    const bool isFloat = std::string(argv[3]) == "f32";
    const double threshold = argc > 4 ? std::strtod(argv[4], nullptr) : 0.05;
    if (channels == 0 || channel >= channels) return 2;
    const std::size_t sampleBytes = isFloat ? 4 : 2;
    const std::size_t frameBytes = sampleBytes * channels;

    std::vector<unsigned char> pending;
    unsigned char buffer[65536];
    bool found = false;
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n <= 0) break;
        if (found) continue;
        auto now = std::chrono::system_clock::now();
        pending.insert(pending.end(), buffer, buffer + n);
        std::size_t frames = pending.size() / frameBytes;
        for (std::size_t f = 0; f < frames && !found; ++f) {
            const unsigned char* at = pending.data() + f * frameBytes + channel * sampleBytes;
            double value = 0;
            if (isFloat) {
                float x;
                std::memcpy(&x, at, 4);
                value = x;
            } else {
                value = static_cast<std::int16_t>(at[0] | (at[1] << 8)) / 32768.0;
            }
            if (std::fabs(value) > threshold) {
                found = true;
                (void)std::printf("%.6f\n", std::chrono::duration<double>(now.time_since_epoch()).count());
                (void)std::fflush(stdout);
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes));
    }
    return found ? 0 : 1;
}
