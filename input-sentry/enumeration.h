// Which processes run audio input right now, asked afresh of the audio
// system on every call. Failures of the audio system never surface: each one
// only narrows the answer.
#pragma once

#include "input-sentry/input_process.h"
#include "platform/audio/hal.h"

#include <optional>
#include <string>
#include <vector>

namespace velko::input_sentry {

// Every process object the audio system lists, in its order. Empty when the
// list cannot be read. Slots the read left unfilled stay 0 (no object).
std::vector<audio::AudioObjectID> processObjectIDs(audio::Hal& hal);

// A string property of `object` in global scope. Absent when the read fails,
// delivers no string, or delivers empty text. Ill-formed UTF-8 comes back
// with U+FFFD in place of each bad byte, so that it can always be written.
std::optional<std::string> stringProperty(audio::Hal& hal, audio::AudioObjectID object, std::uint32_t selector);

// The UID of the first input device of a process object; later devices are
// never consulted. Absent when there is none or it cannot be read.
std::optional<std::string> inputDeviceUID(audio::Hal& hal, audio::AudioObjectID process);

// The processes that run audio input, each with its bundle identifier (empty
// when it has none), pid and input device, sorted by key.
std::vector<InputProcess> activeInputProcesses(audio::Hal& hal);

} // namespace velko::input_sentry
