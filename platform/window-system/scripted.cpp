#include "platform/window-system/scripted.h"

#include "platform/dispatch/dispatch.h"

#include <sstream>
#include <utility>

namespace velko::window_system {
namespace {

std::string describe(Point p) {
    std::ostringstream text;
    text << p.x << ' ' << p.y;
    return text.str();
}

} // namespace

void ScriptedWindowSystem::record(std::string call) {
    if (onCall) onCall(call);
    calls.push_back(std::move(call));
}

void ScriptedWindowSystem::playScript() {
    for (std::size_t i = 0; i < script.size(); ++i) {
        dispatch::Queue::main().async([this, i, step = script[i]] {
            playStep(step);
            ++played_;
            if (afterStep) afterStep(i);
        });
    }
}

void ScriptedWindowSystem::playStep(const ScriptStep& step) {
    if (const auto* event = std::get_if<MouseEvent>(&step)) {
        if (handler_) handler_(*event);
    } else if (const auto* table = std::get_if<WindowTable>(&step)) {
        windows = *table;
    } else if (const auto* list = std::get_if<ScreenList>(&step)) {
        screens = *list;
    }
}

std::int32_t ScriptedWindowSystem::desktopIconWindowLevel() {
    record("desktopIconWindowLevel");
    return desktopIconLevel;
}

Application ScriptedWindowSystem::sharedApplication() {
    record("sharedApplication");
    return Application{&application_};
}

void ScriptedWindowSystem::setActivationPolicy(Application application, ActivationPolicy policy) {
    std::string call = "setActivationPolicy " + std::to_string(static_cast<std::int64_t>(policy));
    if (application.native != &application_) call += " (not the shared application)";
    record(std::move(call));
}

std::optional<Monitor> ScriptedWindowSystem::addGlobalMonitor(EventMask mask, MouseHandler handler) {
    record("addGlobalMonitor " + std::to_string(mask));
    if (refuseMonitor) return std::nullopt;
    handler_ = std::move(handler);
    return Monitor{&monitor_};
}

std::optional<double> ScriptedWindowSystem::primaryScreenHeight() {
    record("primaryScreenHeight");
    if (screens.empty()) return std::nullopt;
    return screens.front().height;
}

std::int64_t ScriptedWindowSystem::windowNumberAtPoint(Point point) {
    record("windowNumberAtPoint " + describe(point));
    for (const auto& window : windows) {
        if (window.frame.contains(point)) return window.number;
    }
    return 0;
}

std::optional<PropertyList> ScriptedWindowSystem::windowDescriptions(std::uint32_t windowId) {
    record("windowDescriptions " + std::to_string(windowId));
    for (const auto& window : windows) {
        if (window.number == static_cast<std::int64_t>(windowId)) return window.descriptions;
    }
    // The window server answers an empty list for a window it does not know.
    return PropertyList::array();
}

void ScriptedWindowSystem::run(Application application) {
    record(application.native == &application_ ? "run" : "run (not the shared application)");
    playScript();
    dispatch::runMain();
}

} // namespace velko::window_system
