// The recorder's command line: "--sample-rate" and "--chunk-ms".
#include "event-protocol/flags.h"
#include "recorder/recorder.h"

#include <array>
#include <cmath>

namespace velko::recorder {

std::optional<std::string> readRecorderFlags(Recorder& state) {
    const std::array<events::FlagSpec, 2> flags{{
        {"--sample-rate", kSampleRateMessage,
         [&state](const std::string& value) {
             auto rate = events::parseCDouble(value);
             // An infinite rate passes "greater than zero" but names no
             // rate a device could run at; refuse it with the rest.
             if (!rate || !(*rate > 0.0) || !std::isfinite(*rate)) return false;
             state.sampleRate = *rate;
             return true;
         }},
        {"--chunk-ms", kChunkMsMessage,
         [&state](const std::string& value) {
             auto ms = events::parseDecimalInt64(value);
             if (!ms || *ms < 10 || *ms > 5000) return false;
             state.chunkMs = *ms;
             return true;
         }},
    }};
    return events::readFlags(state.args, flags);
}

} // namespace velko::recorder
