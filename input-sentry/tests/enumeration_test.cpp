// Which processes run input, read from a scripted audio system: every
// failure narrows the answer, reads happen in a fixed order and only when
// needed, and the list comes back sorted by key.
#include "input-sentry/enumeration.h"

#include "platform/audio/scripted.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace velko::audio;
using namespace velko::audio::selector;
using velko::input_sentry::activeInputProcesses;
using velko::input_sentry::inputDeviceUID;
using velko::input_sentry::InputProcess;
using velko::input_sentry::processObjectIDs;
using velko::input_sentry::stringProperty;

namespace {

constexpr OSStatus kFailure = static_cast<OSStatus>(fourCC("nope"));

std::vector<std::string> keysOf(const std::vector<InputProcess>& processes) {
    std::vector<std::string> keys;
    keys.reserve(processes.size());
    for (const auto& p : processes) keys.push_back(p.key());
    return keys;
}

// Records the capacity that each read offers, to prove that no read may
// write past the caller's buffer.
class CapacityRecordingHal : public ScriptedHal {
public:
    std::vector<std::uint32_t> offered;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioDataSize,
                             void* data) override {
        offered.push_back(ioDataSize);
        return ScriptedHal::getPropertyData(object, address, ioDataSize, data);
    }
};

} // namespace

TEST(ProcessObjectIDs, AFailedOrEmptyListGivesNothing) {
    struct Case {
        const char* name;
        std::function<void(ScriptedHal&)> script;
        std::vector<std::string> log;
    } cases[] = {
        {"no such property", [](ScriptedHal&) {}, {"getPropertyDataSize 1 prs# glob"}},
        {"size query fails",
         [](ScriptedHal& hal) {
             hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10});
             hal.setSizeStatus(kSystemObject, kAudioHardwarePropertyProcessObjectList, kFailure);
         },
         {"getPropertyDataSize 1 prs# glob"}},
        {"size 0",
         [](ScriptedHal& hal) { hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {}); },
         {"getPropertyDataSize 1 prs# glob"}},
        {"size below one ID",
         [](ScriptedHal& hal) {
             hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10});
             hal.property(kSystemObject, kAudioHardwarePropertyProcessObjectList).reportedSize = 3;
         },
         {"getPropertyDataSize 1 prs# glob"}},
        {"read fails",
         [](ScriptedHal& hal) {
             hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10});
             hal.setStatus(kSystemObject, kAudioHardwarePropertyProcessObjectList, kFailure);
         },
         {"getPropertyDataSize 1 prs# glob", "getPropertyData 1 prs# glob"}},
    };
    for (const auto& c : cases) {
        ScriptedHal hal;
        // A process that would be listed if the list could be read.
        setProcessObject(hal, 10, {"App", 1, 42, {}});
        c.script(hal);
        EXPECT_TRUE(processObjectIDs(hal).empty()) << c.name;
        EXPECT_EQ(hal.callLog(), c.log) << c.name;
        hal.clearCalls();
        EXPECT_TRUE(activeInputProcesses(hal).empty()) << c.name;
        EXPECT_EQ(hal.callLog(), c.log) << c.name;
    }
}

TEST(ProcessObjectIDs, UnfilledSlotsStayZeroAndDropOut) {
    ScriptedHal hal;
    // The size says three IDs but the read fills only one (the list shrank
    // in between).
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {12});
    hal.property(kSystemObject, kAudioHardwarePropertyProcessObjectList).reportedSize = 12;
    setProcessObject(hal, 12, {"App", 1, 42, {}});
    EXPECT_EQ(processObjectIDs(hal), (std::vector<AudioObjectID>{12, 0, 0}));

    hal.clearCalls();
    EXPECT_EQ(keysOf(activeInputProcesses(hal)), std::vector<std::string>{"App:42:-"});
    auto log = hal.callLog();
    // Each empty slot costs two failed reads (its name, which a listed
    // process may lack, then its running input) and nothing more.
    EXPECT_EQ(std::count(log.begin(), log.end(), "getPropertyData 0 pbid glob"), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), "getPropertyData 0 piri glob"), 2);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.find(" 0 ") != l.npos; }), 4);
}

TEST(ProcessObjectIDs, ReadsNeverOfferMoreThanTheBuffer) {
    // A reported size that is not a multiple of four must not let the read
    // write past the last whole ID.
    CapacityRecordingHal hal;
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {12, 13});
    hal.property(kSystemObject, kAudioHardwarePropertyProcessObjectList).reportedSize = 7;
    EXPECT_EQ(processObjectIDs(hal), (std::vector<AudioObjectID>{12}));
    EXPECT_EQ(hal.offered, (std::vector<std::uint32_t>{4}));

    hal.offered.clear();
    setProcessObject(hal, 12, {"App", 1, 42, {100, 101}});
    hal.property(12, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput).reportedSize = 6;
    hal.setString(100, kAudioDevicePropertyDeviceUID, "Mic");
    EXPECT_EQ(inputDeviceUID(hal, 12), "Mic");
    ASSERT_FALSE(hal.offered.empty());
    EXPECT_EQ(hal.offered.front(), 4u);
}

TEST(ActiveInputProcesses, EachFailureNarrowsTheResult) {
    // One process object 10 with two input devices, 100 ("Mic") and 101
    // ("Other"); each case breaks one read.
    struct Case {
        const char* name;
        std::function<void(ScriptedHal&)> script;
        std::optional<std::string> key; // nullopt: not listed
    } cases[] = {
        {"all reads succeed", [](ScriptedHal&) {}, "App:42:Mic"},
        // Nameless processes are listed, under an empty bundle identifier.
        {"bundle identifier read fails",
         [](ScriptedHal& h) { h.setStatus(10, kAudioProcessPropertyBundleID, kFailure); }, ":42:Mic"},
        {"bundle identifier delivers no string",
         [](ScriptedHal& h) { h.setString(10, kAudioProcessPropertyBundleID, std::nullopt); }, ":42:Mic"},
        {"bundle identifier empty", [](ScriptedHal& h) { h.setString(10, kAudioProcessPropertyBundleID, ""); },
         ":42:Mic"},
        {"running-input read fails",
         [](ScriptedHal& h) { h.setStatus(10, kAudioProcessPropertyIsRunningInput, kFailure); }, std::nullopt},
        {"not running input",
         [](ScriptedHal& h) { h.setValue(10, kAudioProcessPropertyIsRunningInput, std::uint32_t{0}); }, std::nullopt},
        {"running input as any non-zero value",
         [](ScriptedHal& h) { h.setValue(10, kAudioProcessPropertyIsRunningInput, std::uint32_t{0x80000000}); },
         "App:42:Mic"},
        {"pid read fails", [](ScriptedHal& h) { h.setStatus(10, kAudioProcessPropertyPID, kFailure); }, "App:0:Mic"},
        {"device size query fails",
         [](ScriptedHal& h) {
             h.setSizeStatus(10, kAudioProcessPropertyDevices, kFailure, kAudioObjectPropertyScopeInput);
         },
         "App:42:-"},
        {"device read fails",
         [](ScriptedHal& h) {
             h.setStatus(10, kAudioProcessPropertyDevices, kFailure, kAudioObjectPropertyScopeInput);
         },
         "App:42:-"},
        {"no input devices",
         [](ScriptedHal& h) { h.setObjectList(10, kAudioProcessPropertyDevices, {}, kAudioObjectPropertyScopeInput); },
         "App:42:-"},
        {"device list shorter than one ID",
         [](ScriptedHal& h) {
             h.property(10, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput).reportedSize = 2;
         },
         "App:42:-"},
        {"devices only in global scope",
         [](ScriptedHal& h) {
             h.setObjectList(10, kAudioProcessPropertyDevices, {}, kAudioObjectPropertyScopeInput);
             h.setObjectList(10, kAudioProcessPropertyDevices, {100});
         },
         "App:42:-"},
        {"first device's UID read fails",
         [](ScriptedHal& h) { h.setStatus(100, kAudioDevicePropertyDeviceUID, kFailure); }, "App:42:-"},
        {"first device's UID empty", [](ScriptedHal& h) { h.setString(100, kAudioDevicePropertyDeviceUID, ""); },
         "App:42:-"},
        {"first device's UID delivers no string",
         [](ScriptedHal& h) { h.setString(100, kAudioDevicePropertyDeviceUID, std::nullopt); }, "App:42:-"},
        {"first device slot left unfilled",
         [](ScriptedHal& h) {
             h.setObjectList(10, kAudioProcessPropertyDevices, {}, kAudioObjectPropertyScopeInput);
             h.property(10, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput).reportedSize = 8;
         },
         "App:42:-"},
    };
    for (const auto& c : cases) {
        ScriptedHal hal;
        hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10});
        setProcessObject(hal, 10, {"App", 1, 42, {100, 101}});
        hal.setString(100, kAudioDevicePropertyDeviceUID, "Mic");
        hal.setString(101, kAudioDevicePropertyDeviceUID, "Other");
        c.script(hal);
        auto processes = activeInputProcesses(hal);
        if (c.key) {
            ASSERT_EQ(processes.size(), 1u) << c.name;
            EXPECT_EQ(processes[0].key(), *c.key) << c.name;
            EXPECT_NE(processes[0].deviceUID, "") << c.name; // absent, never empty
        } else {
            EXPECT_TRUE(processes.empty()) << c.name;
        }
        // The second device is never consulted.
        for (const auto& line : hal.callLog()) EXPECT_EQ(line.find(" 101 "), std::string::npos) << c.name;
    }
}

TEST(ActiveInputProcesses, ReadsOnlyWhatDecidesTheResultInOrder) {
    ScriptedHal hal;
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10, 11, 12});
    setProcessObject(hal, 10, {std::nullopt, 0, 1, {100}}); // no bundle identifier, not running input
    setProcessObject(hal, 11, {"Idle", 0, 2, {100}});       // not running input
    setProcessObject(hal, 12, {"App", 1, 3, {100}});
    hal.setString(100, kAudioDevicePropertyDeviceUID, "Mic");

    EXPECT_EQ(keysOf(activeInputProcesses(hal)), std::vector<std::string>{"App:3:Mic"});
    EXPECT_EQ(hal.callLog(), (std::vector<std::string>{
                                 "getPropertyDataSize 1 prs# glob",
                                 "getPropertyData 1 prs# glob",
                                 "getPropertyData 10 pbid glob",
                                 "getPropertyData 10 piri glob",
                                 "getPropertyData 11 pbid glob",
                                 "getPropertyData 11 piri glob",
                                 "getPropertyData 12 pbid glob",
                                 "getPropertyData 12 piri glob",
                                 "getPropertyData 12 ppid glob",
                                 "getPropertyDataSize 12 pdv# inpt",
                                 "getPropertyData 12 pdv# inpt",
                                 "getPropertyData 100 uid  glob",
                             }));

    // Nothing is cached: the next call asks everything again.
    hal.clearCalls();
    activeInputProcesses(hal);
    EXPECT_EQ(hal.callLog().size(), 12u);
}

TEST(ActiveInputProcesses, SortsByKeyAndKeepsRepeatedKeys) {
    ScriptedHal hal;
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {10, 11, 12, 13, 14});
    setProcessObject(hal, 10, {"app", 5, 99, {}});
    setProcessObject(hal, 11, {"App", 1, 99, {}});
    setProcessObject(hal, 12, {"App", 1, 100, {}});
    setProcessObject(hal, 13, {"App", 1, 99, {}}); // same key as object 11
    setProcessObject(hal, 14, {"App.b", 1, 7, {}});
    EXPECT_EQ(keysOf(activeInputProcesses(hal)),
              (std::vector<std::string>{"App.b:7:-", "App:100:-", "App:99:-", "App:99:-", "app:99:-"}));
}

TEST(StringProperty, RepairsTextThatIsNotUtf8) {
    ScriptedHal hal;
    hal.setString(5, kAudioProcessPropertyBundleID, "com.\xFF\xFEx");
    hal.setString(6, kAudioProcessPropertyBundleID, "\xC3");
    hal.setString(7, kAudioProcessPropertyBundleID, std::string("a\0b", 3));
    EXPECT_EQ(stringProperty(hal, 5, kAudioProcessPropertyBundleID), "com.\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(stringProperty(hal, 6, kAudioProcessPropertyBundleID), "\xEF\xBF\xBD");
    EXPECT_EQ(stringProperty(hal, 7, kAudioProcessPropertyBundleID), std::string("a\0b", 3));

    // Through the whole enumeration, for both identifiers that come as text.
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {5});
    setProcessObject(hal, 5, {"com.\xFF\xFEx", 1, 1, {100}});
    hal.setString(100, kAudioDevicePropertyDeviceUID, "Mic\xE2\x82");
    auto processes = activeInputProcesses(hal);
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0].key(), "com.\xEF\xBF\xBD\xEF\xBF\xBDx:1:Mic\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_NO_THROW((void)processes[0].json(false).dump());
}
