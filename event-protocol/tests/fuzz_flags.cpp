// Feeds arbitrary argument vectors (NUL-separated) to the flag reader and
// both value parsers.
#include "event-protocol/flags.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(static_cast<char>(data[i]));
        }
    }
    double rate = 0;
    std::int64_t ms = 0;
    const velko::events::FlagSpec flags[] = {
        {"--rate", "rate",
         [&](const std::string& v) {
             auto x = velko::events::parseCDouble(v);
             if (x) rate = *x;
             return x.has_value();
         }},
        {"--ms", "ms",
         [&](const std::string& v) {
             auto x = velko::events::parseDecimalInt64(v);
             if (x) ms = *x;
             return x.has_value();
         }},
    };
    auto refusal = velko::events::readFlags(args, flags);
    if (refusal && refusal->empty()) __builtin_trap();
    for (const auto& a : args) {
        auto v = velko::events::parseDecimalInt64(a);
        // A value that parses must print back to the same digits.
        if (v) {
            std::string s = a;
            if (s[0] == '+') s.erase(0, 1);
            bool neg = s[0] == '-';
            if (neg) s.erase(0, 1);
            s.erase(0, std::min(s.find_first_not_of('0'), s.size() - 1));
            std::string back = std::to_string(*v);
            if (back != (neg && s != "0" ? "-" + s : s)) __builtin_trap();
        }
    }
    return 0;
}
