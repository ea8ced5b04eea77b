// The click state machine: a left press on the desktop waits for its release
// and makes a click when the release lands within the slop; a right press on
// the desktop is a click at once.
#include "pointer-sentry/pointer_sentry.h"

namespace velko::pointer_sentry {

namespace {

void emitDesktopClick(PointerSentry& sentry) { sentry.emitLine({{"event", "desktopClick"}}); }

} // namespace

void monitorHandler(PointerSentry& sentry, window_system::WindowSystem& platform,
                    const window_system::MouseEvent& event) {
    // Without a location nothing can be said about the event; a pending
    // press stays pending.
    auto location = screenLocation(platform, event);
    if (!location) return;

    switch (event.type) {
    case window_system::EventType::leftMouseDown:
        // A press anywhere else cancels a pending desktop press.
        sentry.desktopPress = isOnDesktop(sentry, platform, *location) ? location : std::nullopt;
        break;
    case window_system::EventType::leftMouseUp: {
        if (!sentry.desktopPress) break;
        double dx = location->x - sentry.desktopPress->x;
        double dy = location->y - sentry.desktopPress->y;
        sentry.desktopPress.reset();
        // The release is not hit-tested: a window that appeared under the
        // pointer does not undo the click. A distance that is not a number
        // fails the comparison and makes no click.
        if (dx * dx + dy * dy <= sentry.clickSlop * sentry.clickSlop) emitDesktopClick(sentry);
        break;
    }
    case window_system::EventType::rightMouseDown:
        // A click at once; a pending left press is neither read nor changed.
        if (isOnDesktop(sentry, platform, *location)) emitDesktopClick(sentry);
        break;
    default:
        break;
    }
}

} // namespace velko::pointer_sentry
