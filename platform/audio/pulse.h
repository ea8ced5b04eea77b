// The Linux audio system behind the audio contract: the user's PulseAudio
// server, or PipeWire through its pulse server, reached with libpulse.
//
// Objects: the system object (1) answers the default input device (the
// server's default source) and the process list; every source is a device
// whose UID is the source name; every process that records (its source
// outputs, level meters left out) is a process object. The system object
// also answers the default output device (the default sink), which answers
// whether a stream plays to it.
#pragma once

#include "platform/audio/hal.h"

#include <memory>
#include <string>

namespace velko::audio {

namespace pulse {
// The statuses this backend answers besides the platform's own.
inline constexpr OSStatus kNotRunning = kAudioHardwareNotRunningError; // no server reachable
inline constexpr OSStatus kBadPropertySize = static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus kIllegalOperation = static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus kUnsupportedOperation = static_cast<OSStatus>(fourCC("unop"));
inline constexpr OSStatus kBadDevice = static_cast<OSStatus>(fourCC("!dev"));         // no such sink or source
inline constexpr OSStatus kUnsupportedFormat = static_cast<OSStatus>(fourCC("!dat")); // a rate the server refuses
} // namespace pulse

// `applicationName` is how the server lists this program's connection.
// (makeSystemHal gives the same, named after the running program.)
std::unique_ptr<Hal> makePulseHal(const std::string& applicationName);

} // namespace velko::audio
