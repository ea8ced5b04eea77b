// The window system as velko-pointer-sentry needs it: the desktop-icon window
// level, an application object that runs without a Dock icon or menu bar, a
// global mouse monitor, the primary screen's height, the window under a point
// and that window's description.
//
// The click logic uses nothing else of the platform, so it runs the same
// against AppKit, against X11 (which has no window levels: its backend hands
// out the desktop platform's numbers) and against the scripted window system
// of the tests.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace velko::window_system {

// Two coordinates in points. Each operation says which origin it uses: the
// window server's global display space (top-left origin, y downward) or the
// screen space of windows (bottom-left origin of the primary screen, y upward).
struct Point {
    double x = 0;
    double y = 0;
};

// Event types as the window system numbers them. Other numbers may arrive
// too; the type keeps them as they are.
enum class EventType : std::uint64_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
};

using EventMask = std::uint64_t;

// The mask bit of an event type: 1 shifted left by the type's number.
constexpr EventMask eventMaskFor(EventType type) { return EventMask{1} << static_cast<std::uint64_t>(type); }

// A mouse event handed to a global monitor.
struct MouseEvent {
    EventType type = EventType::leftMouseDown;
    // Global display coordinates (top-left origin, y downward); absent when
    // the event carries no underlying window-server event.
    std::optional<Point> location;
};

using MouseHandler = std::function<void(const MouseEvent&)>;

// Activation policies of an application, numbered as the platform does.
enum class ActivationPolicy : std::int64_t {
    regular = 0,
    accessory = 1,
    prohibited = 2,
};

// Handles that the window system gives out and that live until process exit.
struct Application {
    const void* native = nullptr;
};
struct Monitor {
    const void* native = nullptr;
};

// A window description list as the window server answers it: a property list
// (arrays, string-keyed dictionaries, numbers, strings, booleans) held as a
// JSON value so that the caller can inspect whatever shape came back. Values
// without a JSON counterpart (data, dates, dictionaries whose keys are not
// all strings) are held as null.
using PropertyList = nlohmann::json;

// The key of a description's layer entry (the text of kCGWindowLayer).
inline constexpr std::string_view windowLayerKey = "kCGWindowLayer";

class WindowSystem {
public:
    WindowSystem() = default;
    WindowSystem(const WindowSystem&) = delete;
    WindowSystem& operator=(const WindowSystem&) = delete;
    virtual ~WindowSystem() = default;

    // CGWindowLevelForKey(kCGDesktopIconWindowLevelKey): the level of the
    // desktop icons, above the desktop picture and below every ordinary
    // window.
    virtual std::int32_t desktopIconWindowLevel() = 0;

    // The process's shared application object, created on first use.
    virtual Application sharedApplication() = 0;
    // The result of the platform call is of no use to the caller and is
    // dropped.
    virtual void setActivationPolicy(Application application, ActivationPolicy policy) = 0;

    // Calls `handler` on the main thread for every event of the types in
    // `mask` that the window system delivers to other applications. Returns
    // the monitor, or nothing when it cannot be installed. A monitor is never
    // removed.
    virtual std::optional<Monitor> addGlobalMonitor(EventMask mask, MouseHandler handler) = 0;

    // The height in points of the primary screen (the first of the screen
    // list, whose frame origin is the origin of screen space); nothing when
    // there is no screen at all.
    virtual std::optional<double> primaryScreenHeight() = 0;

    // The number of the frontmost window, of any application, that a press
    // at `point` (screen space: bottom-left origin) would hit, searching from
    // the top of the window list; 0 or less when there is none.
    virtual std::int64_t windowNumberAtPoint(Point point) = 0;

    // The description list of the one window `windowId`, or nothing when the
    // window server gives no list at all.
    virtual std::optional<PropertyList> windowDescriptions(std::uint32_t windowId) = 0;

    // Runs the application's event loop, which also serves the main dispatch
    // queue, for the rest of the process.
    [[noreturn]] virtual void run(Application application) = 0;
};

// The window system of the machine the program was built for.
std::unique_ptr<WindowSystem> makeWindowSystem();

} // namespace velko::window_system
