// The poll loop driven tick by tick: which processes run input on each tick,
// and the line (or silence) that each tick must produce.
#include "input-sentry/poll_loop.h"

#include "platform/audio/scripted.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

using namespace velko::audio;
using namespace velko::audio::selector;
using velko::input_sentry::pollTick;
using velko::input_sentry::SentryState;

namespace {

// The processes a tick can show, by name. "A~" is A on another input device
// (a new key); "E1" and "E2" are one key in two canonically equivalent
// spellings.
struct Known {
    AudioObjectID object;
    ScriptedProcess process;
};
const std::map<std::string, Known> kKnown = {
    {"A", {11, {"A", 1, 10, {100}}}}, {"A~", {12, {"A", 1, 10, {101}}}},       {"B", {13, {"B", 1, 20, {}}}},
    {"C", {14, {"C", 1, 30, {100}}}}, {"E1", {15, {"Caf\xC3\xA9", 1, 5, {}}}}, {"E2", {16, {"Cafe\xCC\x81", 1, 5, {}}}},
};

// "A B" lists those processes; "!" makes the process-list query fail.
struct Tick {
    std::string present;
    // nullopt: silence. Otherwise the entries of the line, each as its key
    // followed by "+" (pre-existing) or "-", separated by blanks; "" for an
    // empty array.
    std::optional<std::string> line;
};

class PollLoop : public ::testing::Test {
protected:
    PollLoop() : state(hal) {
        for (const auto& [name, known] : kKnown) setProcessObject(hal, known.object, known.process);
        hal.setString(100, kAudioDevicePropertyDeviceUID, "Mic");
        hal.setString(101, kAudioDevicePropertyDeviceUID, "Headset");
        state.emitLine = [this](const velko::events::Event& event) {
            // The line exactly as it would be written; an unserialisable
            // event shows up as a missing line.
            lines.push_back(velko::events::eventLine(event).value_or("(unserialisable)"));
        };
    }

    void show(const std::string& present) {
        if (present == "!") {
            hal.setSizeStatus(kSystemObject, kAudioHardwarePropertyProcessObjectList, static_cast<OSStatus>(-50));
            return;
        }
        std::vector<AudioObjectID> ids;
        std::istringstream names(present);
        for (std::string name; names >> name;) ids.push_back(kKnown.at(name).object);
        hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, ids);
    }

    // The line of one tick in the form used by the tables.
    static std::string summary(const std::string& line) {
        auto event = nlohmann::json::parse(line);
        EXPECT_EQ(event.size(), 2u) << line;
        EXPECT_EQ(event["event"], "input") << line;
        std::string text;
        for (const auto& entry : event.at("processes")) {
            if (!text.empty()) text += " ";
            text += entry.at("bundleId").get<std::string>() + ":" + std::to_string(entry.at("pid").get<int>()) + ":" +
                    entry.value("deviceUID", "-") + (entry.at("preexisting").get<bool>() ? "+" : "-");
        }
        return text;
    }

    void run(const std::vector<Tick>& ticks) {
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            show(ticks[i].present);
            lines.clear();
            pollTick(state);
            std::string where = "tick " + std::to_string(i + 1) + " (\"" + ticks[i].present + "\")";
            if (!ticks[i].line) {
                EXPECT_TRUE(lines.empty()) << where << " wrote " << (lines.empty() ? "" : lines[0]);
                continue;
            }
            ASSERT_EQ(lines.size(), 1u) << where;
            EXPECT_EQ(summary(lines[0]), *ticks[i].line) << where;
        }
    }

    ScriptedHal hal;
    SentryState state;
    std::vector<std::string> lines;
};

std::vector<Tick> repeat(int n, const Tick& tick) { return std::vector<Tick>(static_cast<std::size_t>(n), tick); }

std::vector<Tick> operator+(std::vector<Tick> a, const std::vector<Tick>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const auto silence = std::nullopt;

} // namespace

TEST_F(PollLoop, NothingAtStartWritesOneEmptyLineThenStaysSilent) {
    run(std::vector<Tick>{{"", ""}} + repeat(30, {"", silence}));
}

TEST_F(PollLoop, AProcessForFiveTicksThenTenEmptyLinesThenSilence) {
    run(repeat(5, {"A", "A:10:Mic+"}) + repeat(10, {"", ""}) + repeat(5, {"", silence}));
}

TEST_F(PollLoop, FirstTickMarksEverythingPresentAsPreexisting) {
    run({{"B A", "A:10:Mic+ B:20:-+"},
         {"A B C", "A:10:Mic+ B:20:-+ C:30:Mic-"},
         {"C B", "B:20:-+ C:30:Mic-"},
         {"B C A", "A:10:Mic- B:20:-+ C:30:Mic-"}});
}

TEST_F(PollLoop, AProcessStartingLaterIsNeverPreexisting) {
    run({{"", ""}, {"", silence}, {"A", "A:10:Mic-"}, {"A", "A:10:Mic-"}, {"", ""}, {"A", "A:10:Mic-"}});
}

TEST_F(PollLoop, AKeyMissingOneTickNeverCountsAsPreexistingAgain) {
    run({{"A B", "A:10:Mic+ B:20:-+"}, {"B", "B:20:-+"}, {"A B", "A:10:Mic- B:20:-+"}, {"A B", "A:10:Mic- B:20:-+"}});
}

TEST_F(PollLoop, AChangeOfInputDeviceIsANewKey) {
    run({{"A", "A:10:Mic+"}, {"A~", "A:10:Headset-"}, {"A", "A:10:Mic-"}});
}

TEST_F(PollLoop, AFailedListQueryCountsAsARelease) {
    run(std::vector<Tick>{{"A", "A:10:Mic+"}, {"!", ""}, {"A", "A:10:Mic-"}, {"!", ""}} + repeat(9, {"!", ""}) +
        repeat(3, {"!", silence}));
}

TEST_F(PollLoop, AFailedListQueryOnTheFirstTickStillWritesTheEmptyLine) {
    run({{"!", ""}, {"!", silence}, {"A", "A:10:Mic-"}});
}

TEST_F(PollLoop, InputDuringTheCountdownResumesAndTheNextReleaseCountsAfresh) {
    run(std::vector<Tick>{{"A", "A:10:Mic+"}} + repeat(4, {"", ""}) + std::vector<Tick>{{"B", "B:20:--"}} +
        repeat(10, {"", ""}) + repeat(3, {"", silence}));
}

TEST_F(PollLoop, InputOnTheLastCountdownTickAndRightAfterIt) {
    // Release on tick 2 starts releasing(10); ticks 3 to 11 count down to
    // releasing(1). Input then returns at releasing(1) ...
    run(std::vector<Tick>{{"A", "A:10:Mic+"}} + repeat(10, {"", ""}) + std::vector<Tick>{{"A", "A:10:Mic-"}});
}

TEST_F(PollLoop, InputOnTheFirstIdleTickAfterTheCountdown) {
    // ... or one tick later, once the countdown has run out.
    run(std::vector<Tick>{{"A", "A:10:Mic+"}} + repeat(10, {"", ""}) +
        std::vector<Tick>{{"", silence}, {"A", "A:10:Mic-"}, {"", ""}});
}

TEST_F(PollLoop, RepeatedKeysAreListedEachTime) {
    // Two process objects that give the same key; both entries are written.
    setProcessObject(hal, 17, {"A", 1, 10, {100}});
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {11, 17});
    lines.clear();
    pollTick(state);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(summary(lines[0]), "A:10:Mic+ A:10:Mic+");
}

TEST_F(PollLoop, CanonicallyEquivalentKeysAreOneMember) {
    // The same key spelled two ways stays pre-existing across ticks and
    // keeps the countdown from starting. The entries keep their own spelling.
    run({{"E1", "Caf\xC3\xA9:5:-+"},
         {"E2", "Cafe\xCC\x81:5:-+"},
         {"E1 E2", "Caf\xC3\xA9:5:-+ Cafe\xCC\x81:5:-+"},
         {"E2 E1", "Cafe\xCC\x81:5:-+ Caf\xC3\xA9:5:-+"}});
}

TEST_F(PollLoop, TheLineIsExactlyTwoMembersAndTheStateMatchesTheTable) {
    show("A");
    pollTick(state);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(lines[0]),
              nlohmann::json::parse(
                  R"({"event":"input","processes":[{"bundleId":"A","pid":10,"preexisting":true,"deviceUID":"Mic"}]})"));
    EXPECT_TRUE(state.seeded);
    EXPECT_EQ(state.idleTicksLeft, 0);
    EXPECT_EQ(state.previousKeys.size(), 1u);

    show("");
    pollTick(state);
    EXPECT_EQ(lines.back(), "{\"event\":\"input\",\"processes\":[]}\n");
    EXPECT_EQ(state.idleTicksLeft, 10);
    EXPECT_TRUE(state.previousKeys.empty());
    EXPECT_TRUE(state.preexistingKeys.empty());
    for (int left = 9; left >= 0; --left) {
        pollTick(state);
        EXPECT_EQ(state.idleTicksLeft, left);
    }
    pollTick(state);
    EXPECT_EQ(state.idleTicksLeft, 0);
    EXPECT_EQ(lines.size(), 11u); // the first line, the release line and nine more
}

TEST_F(PollLoop, IdentifiersWithBadBytesStillGiveOneWholeLine) {
    // Ill-formed UTF-8 is repaired; control characters are escaped, so a
    // line feed inside an identifier cannot split the line.
    setProcessObject(hal, 20,
                     {"com.\xFF"
                      "bad",
                      1,
                      7,
                      {102}});
    hal.setString(102, kAudioDevicePropertyDeviceUID, "\xC0\xAF");
    setProcessObject(hal, 21, {"line\nbreak\x01", 1, 8, {}});
    hal.setObjectList(kSystemObject, kAudioHardwarePropertyProcessObjectList, {20, 21});
    pollTick(state);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), '\n'), 1);
    EXPECT_EQ(summary(lines[0]), "com.\xEF\xBF\xBD"
                                 "bad:7:\xEF\xBF\xBD\xEF\xBF\xBD+ line\nbreak\x01:8:-+");
    // The repaired key is the same member on the next tick.
    pollTick(state);
    EXPECT_EQ(summary(lines.back()), "com.\xEF\xBF\xBD"
                                     "bad:7:\xEF\xBF\xBD\xEF\xBF\xBD+ line\nbreak\x01:8:-+");
}
