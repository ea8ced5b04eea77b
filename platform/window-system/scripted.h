// A window system played from a script, for tests: a window table, a screen
// list and a sequence of steps (mouse events and changes to the table or the
// screens) that it plays through the main queue, as the platform's event
// loop would. Every call made to it is logged in order.
#pragma once

#include "platform/window-system/window_system.h"

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

namespace velko::window_system {

// A rectangle in screen space (bottom-left origin). It holds the points of
// its left and bottom edges but not those of its right and top edges.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool contains(Point p) const { return p.x >= x && p.x < x + width && p.y >= y && p.y < y + height; }
};

struct ScriptedWindow {
    // What a query at a point inside `frame` answers; any number, zero and
    // negative ones included.
    std::int64_t number = 0;
    Rect frame;
    // What a description query for this window answers.
    std::optional<PropertyList> descriptions;
};

// Front to back: a point query answers the first window that holds the point.
using WindowTable = std::vector<ScriptedWindow>;
// The primary screen first.
using ScreenList = std::vector<Rect>;

// One step of a script: a mouse event for the monitor, or a new window table
// or screen list that holds from then on.
using ScriptStep = std::variant<MouseEvent, WindowTable, ScreenList>;

class ScriptedWindowSystem final : public WindowSystem {
public:
    // The window server's answers. The level is the platform's usual one.
    std::int32_t desktopIconLevel = -2147483603;
    bool refuseMonitor = false;
    WindowTable windows;
    ScreenList screens;
    std::vector<ScriptStep> script;

    // Every call made so far, in order, as "name arguments".
    std::vector<std::string> calls;
    // Told of each call as it is made (to carry the log out of a child
    // process, say).
    std::function<void(const std::string&)> onCall;
    // Told after each step has been played, with the step's index.
    std::function<void(std::size_t)> afterStep;

    // Submits every step of the script to the main queue, one block per step,
    // in order. Mouse events go to the installed monitor whatever their type,
    // so that a test can also offer types outside its mask.
    void playScript();
    std::size_t stepsPlayed() const { return played_; }

    std::int32_t desktopIconWindowLevel() override;
    Application sharedApplication() override;
    void setActivationPolicy(Application application, ActivationPolicy policy) override;
    std::optional<Monitor> addGlobalMonitor(EventMask mask, MouseHandler handler) override;
    std::optional<double> primaryScreenHeight() override;
    std::int64_t windowNumberAtPoint(Point point) override;
    std::optional<PropertyList> windowDescriptions(std::uint32_t windowId) override;
    // Plays the script, then serves the main queue for good.
    [[noreturn]] void run(Application application) override;

private:
    void record(std::string call);
    void playStep(const ScriptStep& step);

    MouseHandler handler_;
    std::size_t played_ = 0;
    // Stands in for the application object and the monitor token.
    char application_ = 0;
    char monitor_ = 0;
};

} // namespace velko::window_system
