// velko-pointer-sentry: writes a "desktopClick" line each time the user
// clicks on the bare desktop (the desktop picture or the desktop icons), not
// on a window of any application, the menu bar or the Dock.
#pragma once

#include "event-protocol/events.h"
#include "platform/dispatch/dispatch.h"
#include "platform/window-system/window_system.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace velko::pointer_sentry {

// Where "desktopClick" lines go: standard output in the program, a recorder
// in tests.
using LineSink = std::function<void(const events::Event&)>;

// Program-wide state, set up by `run` and touched only on the main thread.
struct PointerSentry {
    PointerSentry();

    LineSink emitLine;
    // The highest window layer that still counts as desktop.
    std::int64_t desktopLevelCeiling = 0;
    // The largest distance in points between a left press and its release
    // that still makes a click.
    double clickSlop = 4.0;
    // Where a left press on the desktop landed (screen space), while it
    // waits for its release.
    std::optional<window_system::Point> desktopPress;
    std::unique_ptr<dispatch::Source> stdinSource;
    window_system::Application application;
    window_system::Monitor monitor;
};

// The whole program: refuses any argument, sets up the state, the stdin
// watch, the application and the mouse monitor, writes "ready" and serves
// the event loop. Ends through the stdin watch (status 0) or `fail`.
[[noreturn]] void run(std::span<const std::string> args, window_system::WindowSystem& platform);

// Start-up steps, in the order `run` takes them.
void setUpClickState(PointerSentry& sentry, window_system::WindowSystem& platform);
void startApplication(PointerSentry& sentry, window_system::WindowSystem& platform);
// Installs the monitor with `monitorHandler`; false when the window system
// refuses it. `sentry` and `platform` must outlive the monitor.
bool installMonitor(PointerSentry& sentry, window_system::WindowSystem& platform);

// The event's location in screen space (bottom-left origin of the primary
// screen, y upward), or nothing when the event has no location or there is
// no screen.
std::optional<window_system::Point> screenLocation(window_system::WindowSystem& platform,
                                                   const window_system::MouseEvent& event);

// True when the frontmost window at `point` (screen space) is part of the
// desktop: its layer is at most `desktopLevelCeiling`. Anything the window
// system cannot answer plainly counts as not on the desktop.
bool isOnDesktop(const PointerSentry& sentry, window_system::WindowSystem& platform, window_system::Point point);

// The click state machine, run once per delivered mouse event.
void monitorHandler(PointerSentry& sentry, window_system::WindowSystem& platform,
                    const window_system::MouseEvent& event);

} // namespace velko::pointer_sentry
