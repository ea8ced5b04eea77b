#include "event-protocol/flags.h"

#include <charconv>
#include <cstdlib>
#include <system_error>

#if defined(__APPLE__)
#include <xlocale.h>
#else
#include <locale.h>
#endif

namespace velko::events {

std::optional<std::string> readFlags(std::span<const std::string> args, std::span<const FlagSpec> flags) {
    std::size_t i = 0;
    while (i < args.size()) {
        const FlagSpec* flag = nullptr;
        for (const auto& candidate : flags) {
            if (args[i] == candidate.name) flag = &candidate;
        }
        if (flag == nullptr) return "unknown flag " + args[i];
        if (i + 1 >= args.size() || !flag->accept(args[i + 1])) return std::string(flag->message);
        i += 2;
    }
    return std::nullopt;
}

std::vector<std::string> argumentsAfterProgramName(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
}

std::optional<double> parseCDouble(const std::string& text) {
    if (text.empty()) return std::nullopt;
    switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
        return std::nullopt;
    default:
        break;
    }
    // A value with an embedded NUL cannot be consumed whole by strtod.
    if (text.find('\0') != std::string::npos) return std::nullopt;
    static locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    char* end = nullptr;
    double value = ::strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    // from_chars takes a "-" of its own but no "+": strip one "+", and refuse
    // a second sign behind it.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return std::nullopt;
    }
    // Base 10 reads ASCII digits only, skips no white space and reports a
    // value outside the range.
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc{} || end != last) return std::nullopt;
    return value;
}

} // namespace velko::events
