// The command line of velko-input-sentry, read in-process.
#include "input-sentry/startup.h"

#include "platform/audio/scripted.h"

#include <gtest/gtest.h>

using velko::input_sentry::kIntervalMessage;
using velko::input_sentry::readArguments;
using velko::input_sentry::SentryState;

TEST(ReadArguments, IntervalValues) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::int64_t> interval; // nullopt: refused with the range message
    } cases[] = {
        {{}, 1000},
        {{"--interval-ms", "200"}, 200},
        {{"--interval-ms", "10000"}, 10000},
        {{"--interval-ms", "+500"}, 500},
        {{"--interval-ms", "0500"}, 500},
        {{"--interval-ms", "000000000000000000000000000200"}, 200},
        {{"--interval-ms", "300", "--interval-ms", "700"}, 700},
        {{"--interval-ms", "199"}, std::nullopt},
        {{"--interval-ms", "10001"}, std::nullopt},
        {{"--interval-ms", "-500"}, std::nullopt},
        {{"--interval-ms", "abc"}, std::nullopt},
        {{"--interval-ms", "1e3"}, std::nullopt},
        {{"--interval-ms", " 500"}, std::nullopt},
        {{"--interval-ms", "500 "}, std::nullopt},
        {{"--interval-ms", "5\xC2\xA0"
                           "00"},
         std::nullopt},
        {{"--interval-ms", ""}, std::nullopt},
        {{"--interval-ms", "+"}, std::nullopt},
        {{"--interval-ms", "0x200"}, std::nullopt},
        {{"--interval-ms", "99999999999999999999999"}, std::nullopt},
        {{"--interval-ms"}, std::nullopt},
        {{"--interval-ms", "--interval-ms"}, std::nullopt},
        {{"--interval-ms", "--interval-ms", "500"}, std::nullopt},
        {{"--interval-ms", "150", "--interval-ms", "500"}, std::nullopt},
        {{"--interval-ms", "500", "--interval-ms"}, std::nullopt},
    };
    for (const auto& c : cases) {
        velko::audio::ScriptedHal hal;
        SentryState state(hal);
        state.args = c.args;
        auto refusal = readArguments(state);
        std::string where = ::testing::PrintToString(c.args);
        if (c.interval) {
            EXPECT_EQ(refusal, std::nullopt) << where;
            EXPECT_EQ(state.intervalMs, *c.interval) << where;
            EXPECT_TRUE(state.args.empty()) << where;
        } else {
            EXPECT_EQ(refusal, std::string(kIntervalMessage)) << where;
        }
    }
}

TEST(ReadArguments, AnythingElseIsAnUnknownFlag) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--interval-ms=500"}, "unknown flag --interval-ms=500"},
        {{"--interval-ms", "500", "extra"}, "unknown flag extra"},
        {{"--interval-ms", "500", "500"}, "unknown flag 500"},
        {{""}, "unknown flag "},
        {{"500"}, "unknown flag 500"},
        {{"--Interval-ms", "500"}, "unknown flag --Interval-ms"},
        {{"-i", "500"}, "unknown flag -i"},
        {{"--interval-ms", "500", "--help"}, "unknown flag --help"},
    };
    for (const auto& c : cases) {
        velko::audio::ScriptedHal hal;
        SentryState state(hal);
        state.args = c.args;
        EXPECT_EQ(readArguments(state), c.message) << ::testing::PrintToString(c.args);
    }
}
