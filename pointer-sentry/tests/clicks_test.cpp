// The click state machine and the desktop hit test, driven in process: each
// case is a window table and a script of mouse events played through the
// scripted window system and the main queue, with the lines each step wrote.
#include "platform/window-system/scripted.h"
#include "pointer-sentry/pointer_sentry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace velko::window_system;
using namespace velko::pointer_sentry;
using namespace std::chrono_literals;

namespace {

const std::string click = "{\"event\":\"desktopClick\"}\n";

// The platform's levels: desktop picture, desktop icons (the ceiling), Dock,
// main menu, ordinary windows.
constexpr std::int32_t desktopIconLevel = -2147483603;
constexpr std::int64_t desktopLevel = -2147483623;
constexpr std::int64_t dockLevel = 20;
constexpr std::int64_t mainMenuLevel = 24;
constexpr std::int64_t normalLevel = 0;

const Rect primaryScreen{0, 0, 1440, 900};

PropertyList describedAt(std::int64_t layer) {
    PropertyList list = PropertyList::array();
    list.push_back({{"kCGWindowLayer", layer}, {"kCGWindowOwnerName", "Finder"}});
    return list;
}

// Screen space, front to back: an editor window, the menu bar, the Dock, the
// desktop icons and the desktop picture behind them.
WindowTable desktopLayout() {
    return {
        {40, {100, 100, 400, 300}, describedAt(normalLevel)}, {30, {0, 876, 1440, 24}, describedAt(mainMenuLevel)},
        {20, {300, 0, 840, 70}, describedAt(dockLevel)},      {2, primaryScreen, describedAt(desktopIconLevel)},
        {1, primaryScreen, describedAt(desktopLevel)},
    };
}

// One window over the whole screen, with the given description list.
WindowTable onlyWindow(std::optional<PropertyList> descriptions, std::int64_t number = 7) {
    return {{number, primaryScreen, std::move(descriptions)}};
}

// Event locations are in the window server's space: top-left origin.
MouseEvent at(EventType type, double x, double y) { return {type, Point{x, y}}; }
MouseEvent leftDown(double x, double y) { return at(EventType::leftMouseDown, x, y); }
MouseEvent leftUp(double x, double y) { return at(EventType::leftMouseUp, x, y); }
MouseEvent rightDown(double x, double y) { return at(EventType::rightMouseDown, x, y); }
MouseEvent withoutLocation(EventType type) { return {type, std::nullopt}; }
constexpr auto rightMouseUp = static_cast<EventType>(4);
constexpr auto mouseMoved = static_cast<EventType>(5);
constexpr auto otherMouseDown = static_cast<EventType>(25);

// Points of the desktop layout, in the window server's space.
constexpr double desktopX = 700, desktopY = 300; // bare desktop
constexpr double windowX = 200, windowY = 700;   // the editor
constexpr double menuX = 50, menuY = 10;         // the menu bar
constexpr double dockX = 600, dockY = 880;       // the Dock

struct Case {
    std::string name;
    WindowTable windows;
    std::vector<ScriptStep> script;
    // One mark per step: 'C' when the step writes one "desktopClick" line,
    // '.' when it writes nothing.
    std::string lines;
    std::int32_t ceiling = desktopIconLevel;
};

std::vector<Case> cases() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto layout = desktopLayout();
    // A window that opens over the desktop point between press and release.
    auto withPopup = layout;
    withPopup.insert(withPopup.begin(), {50, {650, 550, 100, 100}, describedAt(normalLevel)});

    std::vector<Case> all = {
        {"press and release at one point", layout, {leftDown(700, 300), leftUp(700, 300)}, ".C"},
        {"release exactly 4.0 below", layout, {leftDown(700, 300), leftUp(700, 304)}, ".C"},
        {"release exactly 4.0 to the left", layout, {leftDown(700, 300), leftUp(696, 300)}, ".C"},
        {"release just beyond 4.0", layout, {leftDown(700, 300), leftUp(700, 304.001)}, ".."},
        {"release 3 right and 3 down (4.24 away)", layout, {leftDown(700, 300), leftUp(703, 303)}, ".."},
        {"selection drag on the desktop", layout, {leftDown(700, 300), leftUp(760, 380)}, ".."},
        {"release over a window that appeared", layout, {leftDown(700, 300), withPopup, leftUp(701, 301)}, "..C"},
        {"press on a window, release on the desktop within the slop",
         layout,
         {leftDown(498, windowY), leftUp(501, windowY)},
         ".."},
        {"release without a press", layout, {leftUp(desktopX, desktopY)}, "."},
        {"double click",
         layout,
         {leftDown(desktopX, desktopY), leftUp(desktopX, desktopY), leftDown(desktopX, desktopY),
          leftUp(desktopX, desktopY)},
         ".C.C"},
        {"right press on the desktop, then its release",
         layout,
         {rightDown(desktopX, desktopY), at(rightMouseUp, desktopX, desktopY)},
         "C."},
        {"right press on a window", layout, {rightDown(windowX, windowY)}, "."},
        {"right press on the menu bar and on the Dock",
         layout,
         {rightDown(menuX, menuY), rightDown(dockX, dockY)},
         ".."},
        {"left clicks on the menu bar and on the Dock",
         layout,
         {leftDown(menuX, menuY), leftUp(menuX, menuY), leftDown(dockX, dockY), leftUp(dockX, dockY)},
         "...."},
        {"left press, right press, left release",
         layout,
         {leftDown(desktopX, desktopY), rightDown(desktopX, desktopY), leftUp(desktopX, desktopY)},
         ".CC"},
        {"right press off the desktop leaves a pending press alone",
         layout,
         {leftDown(desktopX, desktopY), rightDown(windowX, windowY), leftUp(desktopX, desktopY)},
         "..C"},
        {"right press does not arm a left release",
         layout,
         {rightDown(desktopX, desktopY), leftUp(desktopX, desktopY)},
         "C."},
        {"left press on a window cancels a pending press",
         layout,
         {leftDown(desktopX, desktopY), leftDown(windowX, windowY), leftUp(desktopX, desktopY)},
         "..."},
        {"other event types change nothing",
         layout,
         {leftDown(desktopX, desktopY), at(mouseMoved, 900, 100), at(otherMouseDown, windowX, windowY),
          leftUp(desktopX, desktopY)},
         "...C"},
        {"release without a location leaves the press pending",
         layout,
         {leftDown(desktopX, desktopY), withoutLocation(EventType::leftMouseUp), leftUp(desktopX, desktopY)},
         "..C"},
        {"press without a location arms nothing",
         layout,
         {withoutLocation(EventType::leftMouseDown), leftUp(desktopX, desktopY)},
         ".."},
        {"left press without a location does not cancel",
         layout,
         {leftDown(desktopX, desktopY), withoutLocation(EventType::leftMouseDown), leftUp(desktopX, desktopY)},
         "..C"},
        {"right press without a location", layout, {withoutLocation(EventType::rightMouseDown)}, "."},
        {"release at a location that is not a number ends the press",
         layout,
         {leftDown(desktopX, desktopY), leftUp(nan, desktopY), leftUp(desktopX, desktopY)},
         "..."},
        {"release at an infinite distance", layout, {leftDown(desktopX, desktopY), leftUp(inf, desktopY)}, ".."},
        {"events while there is no screen are ignored; the press survives",
         layout,
         {leftDown(desktopX, desktopY), ScreenList{}, leftUp(desktopX, desktopY), rightDown(desktopX, desktopY),
          leftDown(windowX, windowY), ScreenList{primaryScreen}, leftUp(desktopX, desktopY)},
         "......C"},
        {"layer equal to the ceiling is desktop",
         onlyWindow(describedAt(desktopIconLevel)),
         {leftDown(10, 10), leftUp(10, 10), rightDown(10, 10)},
         ".CC"},
        {"layer one above the ceiling is not",
         onlyWindow(describedAt(std::int64_t{desktopIconLevel} + 1)),
         {leftDown(10, 10), leftUp(10, 10), rightDown(10, 10)},
         "..."},
        {"desktop picture layer", onlyWindow(describedAt(desktopLevel)), {rightDown(10, 10)}, "C"},
        {"unsigned layer at a positive ceiling",
         onlyWindow(PropertyList::parse(R"([{"kCGWindowLayer":5}])")),
         {rightDown(10, 10)},
         "C",
         5},
        {"unsigned layer above a positive ceiling",
         onlyWindow(PropertyList::parse(R"([{"kCGWindowLayer":6}])")),
         {rightDown(10, 10)},
         ".",
         5},
        {"layer beyond the signed range does not wrap",
         onlyWindow(PropertyList::parse(R"([{"kCGWindowLayer":9223372036854775809}])")),
         {rightDown(10, 10)},
         "."},
        {"no window at the point", {}, {rightDown(desktopX, desktopY)}, "."},
        {"window number 0", onlyWindow(describedAt(desktopIconLevel), 0), {rightDown(10, 10)}, "."},
        {"negative window number",
         {{-1, primaryScreen, describedAt(desktopIconLevel)},
          {4294967295, {0, 0, 1, 1}, describedAt(desktopIconLevel)}},
         {rightDown(10, 10)},
         "."},
        {"window number beyond 32 bits is not cut short",
         {{4294967298, primaryScreen, describedAt(normalLevel)}, {2, {0, 0, 1, 1}, describedAt(desktopIconLevel)}},
         {rightDown(10, 10)},
         "."},
        {"largest 32-bit window number",
         onlyWindow(describedAt(desktopIconLevel), 4294967295),
         {rightDown(10, 10)},
         "C"},
        {"no description list", onlyWindow(std::nullopt), {leftDown(10, 10), leftUp(10, 10), rightDown(10, 10)}, "..."},
        {"empty description list", onlyWindow(PropertyList::array()), {rightDown(10, 10)}, "."},
        {"a description instead of a list",
         onlyWindow(PropertyList{{"kCGWindowLayer", desktopIconLevel}}),
         {rightDown(10, 10)},
         "."},
        {"a list that holds something other than descriptions",
         onlyWindow(PropertyList::parse(R"([{"kCGWindowLayer":-2147483603}, 7])")),
         {rightDown(10, 10)},
         "."},
        {"a description whose keys are not all strings",
         onlyWindow(PropertyList::parse("[null]")),
         {rightDown(10, 10)},
         "."},
        {"the first description decides",
         onlyWindow(PropertyList::parse(R"([{"kCGWindowLayer":0}, {"kCGWindowLayer":-2147483603}])")),
         {rightDown(10, 10)},
         "."},
        {"missing layer",
         onlyWindow(PropertyList::parse(R"([{"kCGWindowNumber":7, "kCGWindowOwnerName":"Finder"}])")),
         {rightDown(10, 10)},
         "."},
    };
    for (const char* layer : {R"("-2147483603")", "-2147483603.0", "-2147483603.5", "true", "false", "null",
                              "[-2147483603]", R"({"value":-2147483603})"}) {
        all.push_back({std::string("layer that is not an integer: ") + layer,
                       onlyWindow(PropertyList::parse(std::string(R"([{"kCGWindowLayer":)") + layer + "}]")),
                       {rightDown(10, 10)},
                       "."});
    }
    return all;
}

// Plays the script through the main queue and returns the lines each step
// wrote, byte for byte as they would reach standard output.
std::optional<std::vector<std::string>> play(ScriptedWindowSystem& platform, PointerSentry& sentry) {
    std::string pending;
    sentry.emitLine = [&pending](const velko::events::Event& event) {
        pending += velko::events::eventLine(event).value_or("(unserialisable)\n");
    };
    std::vector<std::string> written;
    platform.afterStep = [&](std::size_t) { written.push_back(std::exchange(pending, {})); };
    platform.playScript();
    bool played = velko::dispatch::runMainUntil([&] { return platform.stepsPlayed() == platform.script.size(); }, 10s);
    platform.afterStep = nullptr;
    if (!played) return std::nullopt;
    return written;
}

} // namespace

TEST(ClickStateMachine, ScriptsAgainstWindowTables) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.lines.size(), c.script.size());
        ScriptedWindowSystem platform;
        platform.desktopIconLevel = c.ceiling;
        platform.screens = {primaryScreen};
        platform.windows = c.windows;
        platform.script = c.script;
        PointerSentry sentry;
        setUpClickState(sentry, platform);
        ASSERT_TRUE(installMonitor(sentry, platform));

        auto written = play(platform, sentry);
        ASSERT_TRUE(written.has_value());
        std::vector<std::string> expected;
        for (char mark : c.lines) expected.push_back(mark == 'C' ? click : "");
        EXPECT_EQ(*written, expected);
    }
}

TEST(ClickStateMachine, OnlyPressesAskForTheWindowUnderThePointer) {
    ScriptedWindowSystem platform;
    platform.screens = {primaryScreen};
    platform.windows = desktopLayout();
    platform.script = {leftDown(desktopX, desktopY), leftUp(desktopX + 1, desktopY), rightDown(windowX, windowY),
                       withoutLocation(EventType::leftMouseDown), withoutLocation(EventType::rightMouseDown)};
    PointerSentry sentry;
    setUpClickState(sentry, platform);
    ASSERT_TRUE(installMonitor(sentry, platform));
    ASSERT_TRUE(play(platform, sentry).has_value());

    std::vector<std::string> expected = {
        "desktopIconWindowLevel", "addGlobalMonitor 14",
        // Left press: located, then hit-tested in screen space.
        "primaryScreenHeight", "windowNumberAtPoint 700 600", "windowDescriptions 2",
        // Left release: located only.
        "primaryScreenHeight",
        // Right press on the editor.
        "primaryScreenHeight", "windowNumberAtPoint 200 200", "windowDescriptions 40",
        // The events without a location ask for nothing at all.
    };
    EXPECT_EQ(platform.calls, expected);
    EXPECT_EQ(sentry.desktopLevelCeiling, desktopIconLevel);
    EXPECT_EQ(sentry.clickSlop, 4.0);
}

TEST(ScreenLocation, FlipsWithThePrimaryScreensHeightOnEveryDisplay) {
    ScriptedWindowSystem platform;
    // A taller display to the right of the primary one, reaching lower.
    platform.screens = {primaryScreen, {1440, -300, 1920, 1200}};
    struct {
        Point event;
        Point screen;
    } cases[] = {
        {{0, 0}, {0, 900}},           {{700, 300}, {700, 600}}, {{1439.5, 899.5}, {1439.5, 0.5}},
        {{2000, 1150}, {2000, -250}}, // on the second display, below the primary's bottom edge
        {{-50, -20}, {-50, 920}},
    };
    for (const auto& c : cases) {
        auto p = screenLocation(platform, {EventType::leftMouseDown, c.event});
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->x, c.screen.x);
        EXPECT_EQ(p->y, c.screen.y);
    }
    EXPECT_FALSE(screenLocation(platform, withoutLocation(EventType::leftMouseDown)).has_value());
    platform.screens.clear();
    EXPECT_FALSE(screenLocation(platform, leftDown(700, 300)).has_value());
}
