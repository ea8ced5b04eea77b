#include "event-protocol/flags.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using velko::events::FlagSpec;
using velko::events::parseCDouble;
using velko::events::parseDecimalInt64;
using velko::events::readFlags;

TEST(ParseCDouble, AcceptsWhatStrtodConsumesWhole) {
    struct Case {
        std::string text;
        double value;
    } cases[] = {
        {"48000", 48000.0}, {"+44100.5", 44100.5}, {"-3", -3.0},        {"1e3", 1000.0}, {".5", 0.5},
        {"0x1p4", 16.0},    {"0X1.8P1", 3.0},      {"16000.", 16000.0}, {"0", 0.0},      {"1E-2", 0.01},
    };
    for (const auto& c : cases) {
        auto v = parseCDouble(c.text);
        ASSERT_TRUE(v) << c.text;
        EXPECT_EQ(*v, c.value) << c.text;
    }
    EXPECT_TRUE(std::isinf(*parseCDouble("inf")));
    EXPECT_TRUE(std::isinf(*parseCDouble("-Infinity")));
    EXPECT_TRUE(std::isnan(*parseCDouble("nan")));
}

TEST(ParseCDouble, RefusesPartialEmptyAndLeadingWhiteSpace) {
    for (const std::string& text : std::vector<std::string>{"", " 48000", "\t1", "\n1", "\v1", "\f1", "\r1", "48000 ",
                                                            "48k", "1,5", "--chunk-ms", "1e", "0x", "abc",
                                                            std::string("1\0"
                                                                        "2",
                                                                        3)}) {
        EXPECT_FALSE(parseCDouble(text)) << '"' << text << '"';
    }
}

TEST(ParseDecimalInt64, StrictSignedDecimal) {
    struct Case {
        std::string_view text;
        std::optional<std::int64_t> value;
    } cases[] = {
        {"500", 500},
        {"+500", 500},
        {"0500", 500},
        {"-500", -500},
        {"0", 0},
        {"-0", 0},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"00000000000000000000009223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-5", std::nullopt},
        {"++5", std::nullopt},
        {" 500", std::nullopt},
        {"500 ", std::nullopt},
        {"1e3", std::nullopt},
        {"5.0", std::nullopt},
        {"0x10", std::nullopt},
        {"abc", std::nullopt},
        {"\xd9\xa5", std::nullopt}, // a non-ASCII digit
    };
    for (const auto& c : cases) EXPECT_EQ(parseDecimalInt64(c.text), c.value) << '"' << c.text << '"';
}

namespace {

struct Harness {
    std::vector<std::string> seen;
    std::vector<FlagSpec> flags{
        {"--rate", "--rate needs a positive number",
         [this](const std::string& v) {
             auto x = parseCDouble(v);
             if (!x || !(*x > 0)) return false;
             seen.push_back("rate=" + v);
             return true;
         }},
        {"--ms", "--ms needs an integer between 10 and 5000",
         [this](const std::string& v) {
             auto x = parseDecimalInt64(v);
             if (!x || *x < 10 || *x > 5000) return false;
             seen.push_back("ms=" + v);
             return true;
         }},
    };
    std::optional<std::string> read(std::vector<std::string> args) { return readFlags(args, flags); }
};

} // namespace

TEST(ReadFlags, RefusalsAndAcceptance) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> refusal;
        std::vector<std::string> seen;
    } cases[] = {
        {{}, std::nullopt, {}},
        {{"--rate", "44100", "--ms", "25"}, std::nullopt, {"rate=44100", "ms=25"}},
        {{"--rate=44100"}, "unknown flag --rate=44100", {}},
        {{"44100"}, "unknown flag 44100", {}},
        {{""}, "unknown flag ", {}},
        {{"--RATE", "1"}, "unknown flag --RATE", {}},
        {{"-r", "1"}, "unknown flag -r", {}},
        {{"--rate"}, "--rate needs a positive number", {}},
        {{"--ms", "20", "--rate"}, "--rate needs a positive number", {"ms=20"}},
        // The value is taken whatever it looks like.
        {{"--ms", "--rate", "48000"}, "--ms needs an integer between 10 and 5000", {}},
        // Last occurrence wins, and each is checked as it is read.
        {{"--ms", "20", "--ms", "30"}, std::nullopt, {"ms=20", "ms=30"}},
        {{"--ms", "9", "--ms", "30"}, "--ms needs an integer between 10 and 5000", {}},
        {{"--ms", "30", "stray"}, "unknown flag stray", {"ms=30"}},
        {{"--rate", "0"}, "--rate needs a positive number", {}},
    };
    for (const auto& c : cases) {
        Harness h;
        EXPECT_EQ(h.read(c.args), c.refusal) << ::testing::PrintToString(c.args);
        EXPECT_EQ(h.seen, c.seen) << ::testing::PrintToString(c.args);
    }
}
