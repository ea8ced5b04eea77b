// Start-up logic in process: the command line, the chunk size, the device
// queries, the tap and aggregate descriptions, and the sample rate.
#include "recorder/recorder.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

using namespace velko;
using namespace velko::recorder;
using namespace velko::recorder::testing;
using namespace audio::selector;
using audio::ScriptedHal;
using nlohmann::json;

TEST(Flags, AcceptedCommandLines) {
    struct Case {
        std::vector<std::string> args;
        double rate;
        std::int64_t chunkMs;
    } cases[] = {
        {{}, 48000.0, 200},
        {{"--chunk-ms", "10"}, 48000.0, 10},
        {{"--chunk-ms", "5000"}, 48000.0, 5000},
        {{"--chunk-ms", "+50"}, 48000.0, 50},
        {{"--chunk-ms", "0050"}, 48000.0, 50},
        {{"--sample-rate", "44100"}, 44100.0, 200},
        {{"--sample-rate", "4.41e4"}, 44100.0, 200},
        {{"--sample-rate", "0x1.5888p15"}, 44100.0, 200},
        {{"--sample-rate", "44100", "--sample-rate", "16000"}, 16000.0, 200},
        {{"--chunk-ms", "20", "--sample-rate", "8000", "--chunk-ms", "30"}, 8000.0, 30},
        {{"--sample-rate", "1e-300"}, 1e-300, 200},
        {{"--sample-rate", "1e300"}, 1e300, 200}, // finite: the chunk size is bounded instead
    };
    for (const auto& c : cases) {
        ScriptedHal hal;
        Recorder state(hal);
        state.args = c.args;
        EXPECT_EQ(readRecorderFlags(state), std::nullopt) << ::testing::PrintToString(c.args);
        EXPECT_EQ(state.sampleRate, c.rate) << ::testing::PrintToString(c.args);
        EXPECT_EQ(state.chunkMs, c.chunkMs) << ::testing::PrintToString(c.args);
    }
}

TEST(Flags, RefusedCommandLines) {
    const std::string rate = kSampleRateMessage;
    const std::string chunk = kChunkMsMessage;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--chunk-ms", "9"}, chunk},
        {{"--chunk-ms", "5001"}, chunk},
        {{"--chunk-ms", "1e2"}, chunk},
        {{"--chunk-ms", "50.0"}, chunk},
        {{"--chunk-ms", ""}, chunk},
        {{"--chunk-ms", " 50"}, chunk},
        {{"--chunk-ms", "50 "}, chunk},
        {{"--chunk-ms", "99999999999999999999"}, chunk},
        {{"--chunk-ms"}, chunk},
        {{"--chunk-ms", "--sample-rate", "44100"}, chunk},
        {{"--chunk-ms", "9", "--chunk-ms", "20"}, chunk},
        {{"--sample-rate", "0"}, rate},
        {{"--sample-rate", "-48000"}, rate},
        {{"--sample-rate", "abc"}, rate},
        {{"--sample-rate", "nan"}, rate},
        {{"--sample-rate", ""}, rate},
        {{"--sample-rate", " 48000"}, rate},
        {{"--sample-rate", "48000 "}, rate},
        {{"--sample-rate", "inf"}, rate},
        {{"--sample-rate", "infinity"}, rate},
        {{"--sample-rate", "1e999"}, rate}, // overflows to infinity
        {{"--sample-rate"}, rate},
        {{"--verbose"}, "unknown flag --verbose"},
        {{"48000"}, "unknown flag 48000"},
        {{"--sample-rate=44100"}, "unknown flag --sample-rate=44100"},
        {{""}, "unknown flag "},
        {{"--chunk-ms", "20", "-c"}, "unknown flag -c"},
    };
    for (const auto& c : cases) {
        ScriptedHal hal;
        Recorder state(hal);
        state.args = c.args;
        EXPECT_EQ(readRecorderFlags(state), c.message) << ::testing::PrintToString(c.args);
    }
}

TEST(ChunkFrames, FollowsTheRateAndStaysInBounds) {
    struct Case {
        std::int64_t chunkMs;
        double rate;
        std::int64_t frames;
    } cases[] = {
        {200, 48000.0, 9600},
        {10, 44100.0, 441},
        {33, 44100.0, 1455},
        {10, 16000.0, 160},
        {25, 44100.0, 1102},
        {5000, 768000.0, 3840000},
        {10, 50.0, 1},
        {10, 99.0, 1},
        {10, 1e-300, 1},
        {5000, 1e300, kMaxChunkFrames},
        {5000, std::numeric_limits<double>::max(), kMaxChunkFrames},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(computeChunkFrames(c.chunkMs, c.rate), c.frames) << c.chunkMs << " ms at " << c.rate;
    }
}

TEST(DeviceQueries, DefaultInputDeviceAndItsUID) {
    ScriptedHal hal;
    scriptWorkingSystem(hal);
    auto mic = defaultInputDevice(hal);
    EXPECT_EQ(mic.id, kMic);
    EXPECT_EQ(mic.uid, kMicUID);
    // A success that delivers no string is an empty UID, not a failure.
    hal.setString(kMic, kAudioDevicePropertyDeviceUID, std::nullopt);
    EXPECT_EQ(defaultInputDevice(hal).uid, "");
}

TEST(DeviceQueries, InputBufferChannels) {
    auto withBytes = [](const std::vector<std::uint8_t>& bytes) {
        return [bytes](ScriptedHal& h) {
            ScriptedHal::Property p;
            p.bytes = bytes;
            h.setProperty(kAggregate, kAudioDevicePropertyStreamConfiguration, p, kAudioObjectPropertyScopeInput);
        };
    };
    // A list that claims three buffers but carries bytes for one.
    std::vector<std::uint8_t> truncated(offsetof(audio::AudioBufferList, mBuffers) + sizeof(audio::AudioBuffer), 0);
    truncated[0] = 3;
    struct Case {
        std::string name;
        std::function<void(ScriptedHal&)> script;
        std::vector<std::int64_t> channels;
    } cases[] = {
        {"mono mic and tap", [](ScriptedHal& h) { h.setStreamConfiguration(kAggregate, {1, 1}); }, {1, 1}},
        {"two mic streams", [](ScriptedHal& h) { h.setStreamConfiguration(kAggregate, {2, 1, 1}); }, {2, 1, 1}},
        {"no buffers", [](ScriptedHal& h) { h.setStreamConfiguration(kAggregate, {}); }, {}},
        {"read refused",
         [](ScriptedHal& h) {
             h.setStatus(kAggregate, kAudioDevicePropertyStreamConfiguration, -1, kAudioObjectPropertyScopeInput);
         },
         {}},
        {"size refused",
         [](ScriptedHal& h) {
             h.setSizeStatus(kAggregate, kAudioDevicePropertyStreamConfiguration, -1, kAudioObjectPropertyScopeInput);
         },
         {}},
        {"size 0", withBytes({}), {}},
        {"shorter than its count", withBytes({1, 0}), {}},
        {"count beyond the bytes", withBytes(truncated), {}},
    };
    for (const auto& c : cases) {
        ScriptedHal hal;
        c.script(hal);
        EXPECT_EQ(inputBufferChannels(hal, kAggregate), c.channels) << c.name;
    }
}

TEST(TapAndAggregate, DescriptionsCarryExactlyTheirValues) {
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    std::vector<std::string> aggregateUIDs;
    for (int run = 0; run < 2; ++run) {
        ScriptedHal hal;
        scriptWorkingSystem(hal);
        Recorder state(hal);
        state.micUID = kMicUID;
        createTap(state);
        createAggregateDevice(state);
        EXPECT_EQ(state.tapID, kTap);
        EXPECT_EQ(state.aggregateID, kAggregate);

        auto tap = hal.lastTapDescription().value();
        EXPECT_TRUE(tap.excludedProcesses.empty());
        EXPECT_EQ(tap.name, "Velko meeting capture");
        EXPECT_TRUE(tap.isPrivate);
        EXPECT_EQ(tap.muteBehavior, audio::TapMuteBehavior::unmuted);
        EXPECT_TRUE(std::regex_match(tap.uuid, uuid)) << tap.uuid;

        const std::string prefix = "velko.desktop.recorder.";
        ASSERT_EQ(state.aggregateUID.substr(0, prefix.size()), prefix);
        std::string aggregateUUID = state.aggregateUID.substr(prefix.size());
        EXPECT_TRUE(std::regex_match(aggregateUUID, uuid)) << aggregateUUID;
        EXPECT_NE(aggregateUUID, tap.uuid); // a UUID of its own, not the tap's
        aggregateUIDs.push_back(state.aggregateUID);

        json expected = {
            {"uid", state.aggregateUID},
            {"name", "Velko capture"},
            {"private", 1},
            {"master", kMicUID},
            {"subdevices", json::array({{{"uid", kMicUID}, {"drift", 1}}})},
            {"taps", json::array({{{"uid", tap.uuid}, {"drift", 1}}})},
            {"tapautostart", 1},
        };
        auto description = hal.lastAggregateDescription().value();
        EXPECT_EQ(description, expected);
        EXPECT_EQ(description.size(), 7u);
        // Integers stay integers: the platform dictionary wants numbers.
        EXPECT_TRUE(description["private"].is_number_integer());
        EXPECT_TRUE(description["taps"][0]["drift"].is_number_integer());
    }
    EXPECT_NE(aggregateUIDs[0], aggregateUIDs[1]);
}

TEST(SampleRate, WrittenThenReadBackWithFallback) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::string name;
        double requested;
        std::function<void(ScriptedHal::Property&)> device;
        double actual;
    } cases[] = {
        {"device takes the rate", 44100.0, [](ScriptedHal::Property&) {}, 44100.0},
        {"device keeps 48000", 44100.0, [](ScriptedHal::Property& p) { p.storeWrites = false; }, 48000.0},
        {"write refused, device at 48000", 44100.0, [](ScriptedHal::Property& p) { p.writeStatus = -1; }, 48000.0},
        {"read-back refused", 44100.0, [](ScriptedHal::Property& p) { p.readStatus = -1; }, 44100.0},
        {"read-back 0", 16000.0,
         [](ScriptedHal::Property& p) {
             p.storeWrites = false;
             p.bytes.assign(8, 0);
         },
         16000.0},
        {"read-back negative", 16000.0,
         [](ScriptedHal::Property& p) {
             p.storeWrites = false;
             double v = -44100.0;
             std::memcpy(p.bytes.data(), &v, 8);
         },
         16000.0},
        {"read-back not a number", 16000.0,
         [nan](ScriptedHal::Property& p) {
             p.storeWrites = false;
             std::memcpy(p.bytes.data(), &nan, 8);
         },
         16000.0},
        {"read-back infinite", 16000.0,
         [inf](ScriptedHal::Property& p) {
             p.storeWrites = false;
             std::memcpy(p.bytes.data(), &inf, 8);
         },
         16000.0},
        {"tiny rate, read-back refused", 50.0, [](ScriptedHal::Property& p) { p.readStatus = -1; }, 50.0},
    };
    for (const auto& c : cases) {
        ScriptedHal hal;
        scriptWorkingSystem(hal);
        c.device(hal.property(kAggregate, kAudioDevicePropertyNominalSampleRate));
        Recorder state(hal);
        state.aggregateID = kAggregate;
        state.sampleRate = c.requested;
        setAndReadSampleRate(state);
        EXPECT_EQ(state.requestedRate, c.requested) << c.name;
        EXPECT_EQ(state.actualRate, c.actual) << c.name;
        EXPECT_EQ(hal.callLog(),
                  (std::vector<std::string>{"setPropertyData 200 nsrt glob", "getPropertyData 200 nsrt glob"}))
            << c.name;
    }
}
