#include "pointer-sentry/pointer_sentry.h"

#include "event-protocol/profiles.h"
#include "event-protocol/stdin_watch.h"

namespace velko::pointer_sentry {

using events::pointer_sentry::emit;
using events::pointer_sentry::fail;

// The three kinds of event the click logic acts on; right releases, other
// buttons, moves, drags and scrolls are not asked for.
constexpr window_system::EventMask monitorMask = window_system::eventMaskFor(window_system::EventType::leftMouseDown) |
                                                 window_system::eventMaskFor(window_system::EventType::leftMouseUp) |
                                                 window_system::eventMaskFor(window_system::EventType::rightMouseDown);
static_assert(monitorMask == 14);

PointerSentry::PointerSentry() : emitLine([](const events::Event& event) { emit(event); }) {}

void setUpClickState(PointerSentry& sentry, window_system::WindowSystem& platform) {
    sentry.desktopLevelCeiling = platform.desktopIconWindowLevel();
    sentry.clickSlop = 4.0;
    sentry.desktopPress.reset();
}

void startApplication(PointerSentry& sentry, window_system::WindowSystem& platform) {
    sentry.application = platform.sharedApplication();
    // No Dock icon and no menu bar: the program shows nothing of its own.
    platform.setActivationPolicy(sentry.application, window_system::ActivationPolicy::accessory);
}

bool installMonitor(PointerSentry& sentry, window_system::WindowSystem& platform) {
    auto monitor = platform.addGlobalMonitor(monitorMask, [&sentry, &platform](const window_system::MouseEvent& event) {
        monitorHandler(sentry, platform, event);
    });
    if (!monitor) return false;
    sentry.monitor = *monitor;
    return true;
}

void run(std::span<const std::string> args, window_system::WindowSystem& platform) {
    // Any argument at all, the empty string included, is refused before
    // anything is set up.
    if (!args.empty()) fail("bad_args", "takes no flags");

    // Lives in this frame, which never returns, for the rest of the process.
    PointerSentry sentry;
    setUpClickState(sentry, platform);
    sentry.stdinSource = events::installStdinReadSource();
    startApplication(sentry, platform);
    if (!installMonitor(sentry, platform)) fail("monitor", "could not install the global mouse monitor");

    emit({{"event", "ready"}});
    platform.run(sentry.application);
    // No backend's loop comes back, but an override need not be declared
    // [[noreturn]] and the monitor's handler refers to this frame: should a
    // loop ever end, the program ends with an error instead of returning.
    fail("monitor", "the event loop ended");
}

} // namespace velko::pointer_sentry
