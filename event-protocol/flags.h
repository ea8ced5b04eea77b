// Flag reading shared by the helper programs: flags matched exactly, each
// taking the next argument as its value whatever it looks like, every value
// validated as it is read, the last occurrence winning.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velko::events {

struct FlagSpec {
    std::string_view name;
    // The one message for a missing, malformed or out-of-range value.
    std::string_view message;
    // Parses and range-checks a value; stores it and returns true when it
    // is accepted.
    std::function<bool(const std::string&)> accept;
};

// Reads `args` (the arguments after the program name) from left to right.
// Returns the refusal message, or nothing when every argument was accepted.
std::optional<std::string> readFlags(std::span<const std::string> args, std::span<const FlagSpec> flags);

// The arguments of a C main() after the program name.
std::vector<std::string> argumentsAfterProgramName(int argc, const char* const* argv);

// The C library's string-to-double conversion in the "C" locale, which must
// consume the whole value. Empty values and values that begin with white
// space are refused. Infinities and not-a-number are returned as parsed.
std::optional<double> parseCDouble(const std::string& text);

// An optional single "+" or "-" followed by one or more ASCII digits and
// nothing else, within the signed 64-bit range. Leading zeros are allowed.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);

} // namespace velko::events
