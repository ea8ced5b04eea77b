// Start-up as a whole program: every failure exit with its exact line,
// "osstatus" and teardown (read from the child's platform call log), and the
// "ready" line of a start that succeeds.
#include "recorder/tests/recorder_child.h"
#include "recorder/tests/scripted_world.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace velko;
using namespace velko::recorder::testing;
using audio::ScriptedHal;
using nlohmann::json;
using namespace audio::selector;

namespace {

// The platform calls of a start-up that succeeds, in order.
const std::vector<std::string> kStartCalls = {
    "getPropertyData 1 dIn  glob",       // default input device
    "getPropertyData 50 uid  glob",      // its UID
    "createProcessTap 0",                //
    "createAggregateDevice 0",           //
    "setPropertyData 200 nsrt glob",     // rate written
    "getPropertyData 200 nsrt glob",     // and read back
    "getPropertyDataSize 200 slay inpt", // input layout
    "getPropertyData 200 slay inpt",     //
    "createIOProcIDWithBlock 200",       //
    "deviceStart 200",                   //
};

std::vector<std::string> startCallsThrough(const std::string& last) {
    std::vector<std::string> calls;
    for (const auto& call : kStartCalls) {
        calls.push_back(call);
        if (call == last) return calls;
    }
    ADD_FAILURE() << "no start-up call " << last;
    return calls;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

json errorLine(const std::string& code, const std::string& message, std::optional<std::int64_t> status) {
    json line = {{"event", "error"}, {"code", code}, {"message", message}};
    if (status) line["osstatus"] = *status;
    return line;
}

const std::string kTapMessage =
    "could not create the system-audio tap - System Audio Recording permission refused, or macOS < 14.2";
constexpr audio::OSStatus kRefused = -66753;                                     // some platform refusal
constexpr audio::OSStatus kBadDevice = static_cast<audio::OSStatus>(0x21646576); // '!dev'

} // namespace

TEST(StartupFailure, EachStepExitsWithItsLineAndTearsDownInReverseOrder) {
    struct Case {
        std::string name;
        RecorderChild::Script script;
        json line;
        std::vector<std::string> calls;
    } cases[] = {
        {"default device read refused",
         [](ScriptedHal& h) { h.setStatus(audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice, kRefused); },
         errorLine("no_input_device", "no default input device", kRefused),
         startCallsThrough("getPropertyData 1 dIn  glob")},
        {"no default device",
         [](ScriptedHal& h) {
             h.setValue(audio::kSystemObject, kAudioHardwarePropertyDefaultInputDevice, audio::kUnknownObject);
         },
         errorLine("no_input_device", "no default input device", 0), startCallsThrough("getPropertyData 1 dIn  glob")},
        {"UID refused", [](ScriptedHal& h) { h.setStatus(kMic, kAudioDevicePropertyDeviceUID, kBadDevice); },
         errorLine("no_input_device", "could not read input device UID", kBadDevice),
         startCallsThrough("getPropertyData 50 uid  glob")},
        {"tap refused", [](ScriptedHal& h) { h.setTapCreation({kRefused, false, 0}); },
         errorLine("tap_denied", kTapMessage, kRefused), startCallsThrough("createProcessTap 0")},
        {"tap success without a tap", [](ScriptedHal& h) { h.setTapCreation({audio::kNoErr, false, 0}); },
         errorLine("tap_denied", kTapMessage, 0), startCallsThrough("createProcessTap 0")},
        {"aggregate refused", [](ScriptedHal& h) { h.setAggregateCreation({kRefused, false, 0}); },
         errorLine("aggregate_failed", "could not create the aggregate device", kRefused),
         concat(startCallsThrough("createAggregateDevice 0"), {"destroyProcessTap 100"})},
        {"aggregate success without a device",
         [](ScriptedHal& h) { h.setAggregateCreation({audio::kNoErr, false, 0}); },
         errorLine("aggregate_failed", "could not create the aggregate device", 0),
         concat(startCallsThrough("createAggregateDevice 0"), {"destroyProcessTap 100"})},
        {"layout unreadable",
         [](ScriptedHal& h) {
             h.setStatus(kAggregate, kAudioDevicePropertyStreamConfiguration, kRefused, kAudioObjectPropertyScopeInput);
         },
         errorLine("unexpected_layout", "aggregate input has 0 buffer(s); expected mic + tap", std::nullopt),
         concat(startCallsThrough("getPropertyData 200 slay inpt"),
                {"destroyAggregateDevice 200", "destroyProcessTap 100"})},
        {"layout of one buffer", [](ScriptedHal& h) { h.setStreamConfiguration(kAggregate, {2}); },
         errorLine("unexpected_layout", "aggregate input has 1 buffer(s); expected mic + tap", std::nullopt),
         concat(startCallsThrough("getPropertyData 200 slay inpt"),
                {"destroyAggregateDevice 200", "destroyProcessTap 100"})},
        {"IO proc refused", [](ScriptedHal& h) { h.setIOProcCreation({kRefused, false, 0}); },
         errorLine("io_proc_failed", "could not install the IO proc", kRefused),
         concat(startCallsThrough("createIOProcIDWithBlock 200"),
                {"destroyAggregateDevice 200", "destroyProcessTap 100"})},
        {"IO proc success without a handle", [](ScriptedHal& h) { h.setIOProcCreation({audio::kNoErr, false, 0}); },
         errorLine("io_proc_failed", "could not install the IO proc", 0),
         concat(startCallsThrough("createIOProcIDWithBlock 200"),
                {"destroyAggregateDevice 200", "destroyProcessTap 100"})},
        {"start refused", [](ScriptedHal& h) { h.setStartStatus(kRefused); },
         errorLine("start_failed", "could not start the aggregate device", kRefused),
         concat(startCallsThrough("deviceStart 200"),
                {"destroyIOProcID 200", "destroyAggregateDevice 200", "destroyProcessTap 100"})},
        {"start refused, teardown refused too",
         [](ScriptedHal& h) {
             h.setStartStatus(kRefused);
             h.setTeardownStatus(kBadDevice);
         },
         errorLine("start_failed", "could not start the aggregate device", kRefused),
         concat(startCallsThrough("deviceStart 200"),
                {"destroyIOProcID 200", "destroyAggregateDevice 200", "destroyProcessTap 100"})},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto recorder = RecorderChild::start({}, c.script);
        auto result = recorder.process().wait(5s);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(recorder.process().out(), "");
        auto lines = recorder.process().errEvents();
        ASSERT_EQ(lines.size(), 1u) << recorder.process().err();
        EXPECT_EQ(lines[0], c.line);
        EXPECT_EQ(recorder.callLog(), c.calls);
    }
}

TEST(StartupFailure, RefusedCommandLineTouchesNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--verbose"}, "unknown flag --verbose"},
        {{"48000"}, "unknown flag 48000"},
        {{"--sample-rate=44100"}, "unknown flag --sample-rate=44100"},
        {{""}, "unknown flag "},
        // Not UTF-8: each bad byte is written as U+FFFD, and the line survives.
        {{"\xff\xfe"}, "unknown flag \xef\xbf\xbd\xef\xbf\xbd"},
        {{"--sample-rate", "inf"}, "--sample-rate needs a positive number"},
        {{"--chunk-ms", "--sample-rate", "44100"}, "--chunk-ms needs an integer between 10 and 5000"},
        {{"--chunk-ms"}, "--chunk-ms needs an integer between 10 and 5000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto recorder = RecorderChild::start(c.args);
        auto result = recorder.process().wait(5s);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(recorder.process().out(), "");
        EXPECT_EQ(recorder.process().err(),
                  json({{"event", "error"}, {"code", "bad_args"}, {"message", c.message}}).dump() + "\n");
        EXPECT_TRUE(recorder.callLog().empty());
    }
}

TEST(Startup, ReadyLineReportsTheRunningDevice) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        RecorderChild::Script script;
        json ready;
    } cases[] = {
        {"defaults",
         {},
         {},
         {{"event", "ready"},
          {"sampleRate", 48000.0},
          {"channels", 2},
          {"format", "s16le"},
          {"chunkMs", 200},
          {"inputBufferChannels", {1, 1}}}},
        {"device takes the requested rate",
         {"--sample-rate", "44100", "--chunk-ms", "25"},
         {},
         {{"event", "ready"},
          {"sampleRate", 44100.0},
          {"channels", 2},
          {"format", "s16le"},
          {"chunkMs", 25},
          {"inputBufferChannels", {1, 1}}}},
        {"device keeps its own rate; microphone with two streams",
         {"--sample-rate", "44100"},
         [](ScriptedHal& h) {
             h.property(kAggregate, kAudioDevicePropertyNominalSampleRate).storeWrites = false;
             h.setStreamConfiguration(kAggregate, {2, 1, 1});
         },
         {{"event", "ready"},
          {"sampleRate", 48000.0},
          {"channels", 2},
          {"format", "s16le"},
          {"chunkMs", 200},
          {"inputBufferChannels", {2, 1, 1}}}},
        {"enormous rate the device cannot confirm: runs with a bounded chunk",
         {"--sample-rate", "1e300", "--chunk-ms", "5000"},
         [](ScriptedHal& h) { h.property(kAggregate, kAudioDevicePropertyNominalSampleRate).readStatus = -1; },
         {{"event", "ready"},
          {"sampleRate", 1e300},
          {"channels", 2},
          {"format", "s16le"},
          {"chunkMs", 5000},
          {"inputBufferChannels", {1, 1}}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto recorder = RecorderChild::start(c.args, c.script);
        auto& child = recorder.process();
        ASSERT_TRUE(child.waitForErrLines(1, 5s)) << child.err();
        EXPECT_EQ(child.errEvents().at(0), c.ready);
        child.closeStdin();
        auto result = child.wait(5s);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(child.err(), c.ready.dump() + "\n" + json({{"event", "stopped"}}).dump() + "\n");
        // What start-up created is torn down in reverse order.
        auto calls = recorder.callLog();
        ASSERT_GE(calls.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
                  (std::vector<std::string>{"deviceStop 200", "destroyIOProcID 200", "destroyAggregateDevice 200",
                                            "destroyProcessTap 100"}));
    }
}

TEST(Startup, OnThisMachineWithoutASoundServerReportsNoInputDevice) {
    // No sound server to be found, whatever the machine runs.
    ::setenv("PULSE_SERVER", "unix:/nonexistent/velko-no-server", 1);
    ::setenv("XDG_RUNTIME_DIR", "/nonexistent/velko-no-runtime-dir", 1);
    ::unsetenv("DISPLAY");
    auto child = velko::testing::ChildProcess::spawn({VELKO_RECORDER_BINARY});
    auto result = child.wait(5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(child.out(), "");
    auto lines = child.errEvents();
    ASSERT_EQ(lines.size(), 1u) << child.err();
    EXPECT_EQ(lines[0]["code"], "no_input_device");
    EXPECT_EQ(lines[0]["message"], "no default input device");
    ASSERT_TRUE(lines[0]["osstatus"].is_number_integer());
    EXPECT_NE(lines[0]["osstatus"], 0);
}
