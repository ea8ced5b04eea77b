// Event lines: one compact JSON object plus a line feed, handed to the OS in
// one write request. The "error" line of `fail` ends the process.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

namespace velko::events {

using Event = nlohmann::json;

enum class Stream : int { out = 1, err = 2 };

// Serialises `event` and writes it as one line to `target`. A serialisation
// error (a string that is not valid UTF-8, say) drops the line silently.
void emit(const Event& event, Stream target = Stream::out);

// The compact text of `event` followed by a line feed, or nothing when the
// event cannot be serialised.
std::optional<std::string> eventLine(const Event& event);

// Writes all of `bytes` to `fd` as one logical write: partial writes and
// interruptions are resumed until everything is out or the write fails.
// Returns false on failure. SIGPIPE keeps its default action.
bool writeAll(int fd, std::string_view bytes);

// Writes {"event":"error","code":...,"message":...[,"osstatus":...]} on
// standard error and exits with status 1, whatever happened to the line.
[[noreturn]] void fail(std::string_view code, std::string_view message,
                       std::optional<std::int32_t> status = std::nullopt);

// Ends the process at once with `status`. Nothing is buffered in the
// process, so static destructors are skipped: they must never run while a
// queue thread is still working.
[[noreturn]] void exitProcess(int status);

} // namespace velko::events
