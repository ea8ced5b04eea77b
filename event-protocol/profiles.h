// The event protocol as each helper program uses it. The programs differ in
// where their events go and in whether their failures carry a platform status.
#pragma once

#include "event-protocol/events.h"

namespace velko::events {

// velko-recorder: standard output carries PCM, so every line goes to
// standard error; failures of audio platform calls carry their status.
namespace recorder {
inline void emit(const Event& event) { events::emit(event, Stream::err); }
[[noreturn]] inline void fail(std::string_view code, std::string_view message,
                              std::optional<std::int32_t> status = std::nullopt) {
    events::fail(code, message, status);
}
} // namespace recorder

// velko-input-sentry: events on standard output unless told otherwise.
namespace input_sentry {
inline void emit(const Event& event, Stream target = Stream::out) { events::emit(event, target); }
[[noreturn]] inline void fail(std::string_view code, std::string_view message,
                              std::optional<std::int32_t> status = std::nullopt) {
    events::fail(code, message, status);
}
} // namespace input_sentry

// velko-pointer-sentry: like the input sentry, but its failures never carry
// a status.
namespace pointer_sentry {
inline void emit(const Event& event, Stream target = Stream::out) { events::emit(event, target); }
[[noreturn]] inline void fail(std::string_view code, std::string_view message) { events::fail(code, message); }
} // namespace pointer_sentry

} // namespace velko::events
