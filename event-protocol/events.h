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

// Serialises `event` and writes it as one line to `target`. Strings that are
// not valid UTF-8 are written with U+FFFD in place of each bad byte, so that
// no line is lost to text from the outside world.
void emit(const Event& event, Stream target = Stream::out);

// The compact text of `event` followed by a line feed (invalid UTF-8 replaced
// as `emit` does), or nothing when the event cannot be serialised.
std::optional<std::string> eventLine(const Event& event);

// Writes all of `bytes` to `fd` as one logical write: partial writes and
// interruptions are resumed, and a descriptor that is not ready (EAGAIN on a
// non-blocking one) is waited for, until everything is out or the write
// fails. Returns false on failure, with errno saying why. SIGPIPE keeps its
// default action.
bool writeAll(int fd, std::string_view bytes);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Called
// first thing in every program, before anything else opens a descriptor: a
// program started with a closed standard stream would otherwise hand that
// number to the next file it opens (a library's internal pipe, say), and read
// its input from there or write its output into it.
void openClosedStandardDescriptors();

// Writes {"event":"error","code":...,"message":...[,"osstatus":...]} on
// standard error and exits with status 1, whatever happened to the line.
[[noreturn]] void fail(std::string_view code, std::string_view message,
                       std::optional<std::int32_t> status = std::nullopt);

// Ends the process at once with `status`. Nothing is buffered in the
// process, so static destructors are skipped: they must never run while a
// queue thread is still working.
[[noreturn]] void exitProcess(int status);

} // namespace velko::events
