#include "event-protocol/flags.h"

#include <cstdlib>

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
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // Accumulate towards the negative side, which holds the larger magnitude.
    std::int64_t value = 0;
    constexpr std::int64_t minValue = INT64_MIN;
    for (char c : digits) {
        int d = c - '0';
        if (value < (minValue + d) / 10) return std::nullopt;
        value = value * 10 - d;
    }
    if (!negative) {
        if (value == minValue) return std::nullopt;
        value = -value;
    }
    return value;
}

} // namespace velko::events
