#include "platform/audio/pulse_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace velko::audio::pulse {
namespace {

TEST(PulseCapture, FragmentIsAQuarterOfTheToleranceInWholeCyclesFrom10To250Ms) {
    using std::chrono::milliseconds;
    struct Case {
        std::int64_t toleranceMs;
        pa_usec_t fragmentMs;
    } cases[] = {
        {0, 10},    // no hint: the 10 ms of a sound card's period
        {-200, 10}, // nonsense is taken as no hint
        {10, 10},
        {20, 10},
        {49, 10}, // the shortest chunks keep 10 ms
        {80, 20},
        {125, 30}, // whole cycles, rounded down
        {200, 50}, // the default chunk
        {1000, 250},
        {5000, 250}, // capped
        {std::numeric_limits<std::int64_t>::max(), 250},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PulseCapture::fragmentFor(milliseconds(c.toleranceMs)), c.fragmentMs * PA_USEC_PER_MSEC)
            << c.toleranceMs << " ms";
    }
}

} // namespace
} // namespace velko::audio::pulse
