// Shared by the recorder's tests: a scripted machine on which start-up
// succeeds, and IO cycles of known samples whose 16-bit values are exact.
#pragma once

#include "platform/audio/scripted.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velko::recorder::testing {

inline constexpr audio::AudioObjectID kMic = 50;
inline constexpr audio::AudioObjectID kTap = audio::ScriptedHal::kTapID;
inline constexpr audio::AudioObjectID kAggregate = audio::ScriptedHal::kAggregateID;
inline const std::string kMicUID = "BuiltInMicrophoneDevice";

// A default microphone that is alive, a tap and an aggregate device that are
// created, a device that takes any rate (48000 Hz until written) and
// presents one mono microphone buffer plus the mono tap.
void scriptWorkingSystem(audio::ScriptedHal& hal);

// A float whose 16-bit conversion is exactly `value` (for |value| < 32767).
float sampleFor(std::int16_t value);

// Frame k of the known stream: the microphone carries k mod 30000, the
// system audio -(7k mod 30000).
std::int16_t micValue(std::int64_t frame);
std::int16_t tapValue(std::int64_t frame);

// One cycle of `frames` known frames starting at frame `first`: one mono
// microphone buffer and one mono tap buffer.
audio::ScriptedBufferList knownCycle(std::int64_t first, std::int64_t frames);

// The s16le bytes of known frames [first, first + count).
std::string knownPcm(std::int64_t first, std::int64_t count);

} // namespace velko::recorder::testing
