// Feeds arbitrary command lines (NUL-separated arguments) to the recorder's
// flag parser: an accepted line always yields a usable rate and chunk
// length, and a refused one always one of the three messages.
#include "platform/audio/scripted.h"
#include "recorder/recorder.h"

#include <cmath>

using namespace velko;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static audio::ScriptedHal hal;
    recorder::Recorder state(hal);
    state.args.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            state.args.emplace_back();
        } else {
            state.args.back().push_back(static_cast<char>(data[i]));
        }
    }
    auto refusal = recorder::readRecorderFlags(state);
    if (!refusal) {
        if (!std::isfinite(state.sampleRate) || !(state.sampleRate > 0)) __builtin_trap();
        if (state.chunkMs < 10 || state.chunkMs > 5000) __builtin_trap();
        auto frames = recorder::computeChunkFrames(state.chunkMs, state.sampleRate);
        if (frames < 1 || frames > recorder::kMaxChunkFrames) __builtin_trap();
        return 0;
    }
    if (*refusal == recorder::kSampleRateMessage || *refusal == recorder::kChunkMsMessage) return 0;
    const std::string prefix = "unknown flag ";
    if (refusal->rfind(prefix, 0) != 0) __builtin_trap();
    const std::string argument = refusal->substr(prefix.size());
    bool known = false;
    for (const auto& a : state.args) known = known || a == argument;
    if (!known || argument == "--sample-rate" || argument == "--chunk-ms") __builtin_trap();
    return 0;
}
