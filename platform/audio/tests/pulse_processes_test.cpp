#include "platform/audio/pulse_processes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

namespace velko::audio::pulse {
namespace {

SourceOutputRecord stream(std::uint32_t index, std::uint32_t client, std::uint32_t source,
                          std::map<std::string, std::string> properties, bool corked = false,
                          std::string resampleMethod = "copy") {
    SourceOutputRecord record;
    record.index = index;
    record.client = client;
    record.source = source;
    record.corked = corked;
    record.resampleMethod = std::move(resampleMethod);
    record.properties = std::move(properties);
    return record;
}

TEST(PulseProcesses, ProcessIdsAreStrictDecimal) {
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases{
        {"4242", 4242},
        {"1", 1},
        {"2147483647", 2147483647},
        {"0", std::nullopt},
        {"-5", std::nullopt},
        {"+5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"12a", std::nullopt},
        {"", std::nullopt},
        {"2147483648", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parseProcessId(text), expected) << '"' << text << '"';
}

TEST(PulseProcesses, LevelMetersAreRecognisedByWhatEachServerShows) {
    EXPECT_TRUE(isLevelMeter(stream(1, 1, 1, {}, false, "peaks")));
    EXPECT_TRUE(isLevelMeter(stream(1, 1, 1, {{"resample.peaks", "true"}})));
    EXPECT_TRUE(isLevelMeter(stream(1, 1, 1, {{"stream.monitor", "true"}})));
    EXPECT_TRUE(isLevelMeter(stream(1, 1, 1, {{"media.name", "Peak detect"}})));
    EXPECT_FALSE(isLevelMeter(stream(1, 1, 1, {{"resample.peaks", "false"}, {"media.name", "Peak detector"}})));
    EXPECT_FALSE(isLevelMeter(stream(1, 1, 1, {{"stream.capture.sink", "true"}}, false, "speex-float-1")));
}

TEST(PulseProcesses, StreamsGroupByProcess) {
    // Listed out of order: the server's list order is not relied on.
    auto processes = groupByProcess({
        stream(9, 7, 3, {{"application.process.id", "300"}, {"application.name", "Late"}}),
        stream(10, 7, 3, {{"application.process.id", "300"}, {"application.name", "Later"}}),
        stream(2, 5, 1, {{"application.process.id", "100"}, {"application.name", "Call"}}, true),
        stream(4, 6, 2, {{"application.process.id", "100"}, {"application.id", "org.example.Call"}}),
        stream(5, 6, 1, {{"application.process.id", "100"}}, true),
        stream(3, 8, 2, {{"application.process.id", "200"}, {"media.name", "Peak detect"}}),
        stream(6, 9, 4, {{"application.name", "NoPid"}}, true),
        stream(7, 9, 5, {{"application.process.id", "zero"}, {"application.process.binary", "tool"}}, true),
        stream(8, kNoIndex, 1, {{"application.process.binary", "loopback"}}, true),
    });
    ASSERT_EQ(processes.size(), 4u) << "the meter's process records nothing else and is not listed";

    EXPECT_EQ(processes[0].key, "pid:100");
    EXPECT_EQ(processes[0].pid, 100);
    EXPECT_EQ(processes[0].bundleId, "org.example.Call") << "the application id of any of its streams comes first";
    EXPECT_TRUE(processes[0].runningInput) << "one uncorked stream is enough";
    EXPECT_EQ(processes[0].sources, (std::vector<std::uint32_t>{1, 2})) << "first use first, no repeats";

    EXPECT_EQ(processes[1].key, "client:9") << "without a pid, the client is the process";
    EXPECT_EQ(processes[1].pid, std::nullopt);
    EXPECT_EQ(processes[1].bundleId, "tool") << "the binary of its younger stream beats the older one's name";
    EXPECT_FALSE(processes[1].runningInput) << "every stream corked";
    EXPECT_EQ(processes[1].sources, (std::vector<std::uint32_t>{4, 5}));

    EXPECT_EQ(processes[2].key, "stream:8") << "a server module's stream stands alone";
    EXPECT_EQ(processes[2].bundleId, "loopback");

    EXPECT_EQ(processes[3].key, "pid:300");
    EXPECT_EQ(processes[3].bundleId, "Late") << "among equals, the oldest stream's";
}

TEST(PulseProcesses, BundleIdentifierPrefersTheApplicationId) {
    const std::vector<std::pair<std::map<std::string, std::string>, std::optional<std::string>>> cases{
        {{{"application.id", "org.example.App"}, {"application.process.binary", "app"}, {"application.name", "App"}},
         "org.example.App"},
        {{{"application.id", ""}, {"application.process.binary", "app"}, {"application.name", "App"}}, "app"},
        {{{"application.process.binary", ""}, {"application.name", "App"}}, "App"},
        {{{"application.name", ""}}, std::nullopt},
        {{}, std::nullopt},
        // Bytes are passed on as the server gave them; the programs decide
        // what to make of text that is not UTF-8.
        {{{"application.name", "bad\xff"}}, "bad\xff"},
    };
    for (const auto& [properties, expected] : cases) {
        auto processes = groupByProcess({stream(1, 1, 1, properties)});
        ASSERT_EQ(processes.size(), 1u);
        EXPECT_EQ(processes[0].bundleId, expected);
    }
}

TEST(PulseProcesses, AProcessWithoutANameIsNamedByWhatItRuns) {
    auto commandName = [](std::int32_t pid) -> std::optional<std::string> {
        if (pid == 100) return "parec";
        return std::nullopt; // gone, or not visible from here
    };
    auto processes = groupByProcess(
        {
            stream(1, 1, 1,
                   {{"application.process.id", "100"},
                    {"application.id", ""},
                    {"application.process.binary", ""},
                    {"application.name", ""}}),
            stream(2, 2, 1, {{"application.process.id", "200"}}),
            stream(3, 3, 1, {}),
            stream(4, 4, 1, {{"application.process.id", "400"}, {"application.name", "Named"}}),
        },
        commandName);
    ASSERT_EQ(processes.size(), 4u);
    EXPECT_EQ(processes[0].bundleId, "parec");
    EXPECT_EQ(processes[1].bundleId, std::nullopt) << "an unseen process has no name to give";
    EXPECT_EQ(processes[2].bundleId, std::nullopt) << "nor has one without a pid";
    EXPECT_EQ(processes[3].bundleId, "Named") << "a declared name comes first";
    for (const auto& process : processes) EXPECT_TRUE(process.runningInput) << process.key;

    // This process, as the system shows it (the name cut to 15 bytes).
    EXPECT_EQ(processCommandName(static_cast<std::int32_t>(::getpid())),
              std::string(program_invocation_short_name).substr(0, 15));
}

TEST(PulseProcesses, StreamsWithoutASourceAddNoDevice) {
    auto processes = groupByProcess({stream(1, 1, kNoIndex, {{"application.name", "Starting"}})});
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_TRUE(processes[0].sources.empty());
}

} // namespace
} // namespace velko::audio::pulse
