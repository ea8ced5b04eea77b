// X11 backend of the window system: XInput 2.2 raw button events on the root
// window for the global monitor, the pointer position at handling time for
// locations, RandR for the primary output, and the stacking order with the
// window manager's conventions (WM_STATE, _NET_WM_WINDOW_TYPE) for the window
// under a point and its layer.
//
// The X connection is a read source of the main loop; nothing polls on a
// timer, so an idle monitor costs no CPU. Without a display, without XInput
// 2.2, or on XWayland (which cannot see clicks on a Wayland desktop) there is
// no monitor, and the program says so instead of running blind.
#include "platform/window-system/window_system.h"

#include "event-protocol/events.h"
#include "platform/dispatch/dispatch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

// Xlib's macros (None, Success, Bool, Status...) come last, after every header
// that might use those words itself.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrandr.h>

namespace velko::window_system {
namespace {

// X11 has no window levels, so the backend hands out the numbers the click
// logic compares, the same as the desktop platform's own: the root window
// (the bare desktop) sits at the desktop level, windows typed
// _NET_WM_WINDOW_TYPE_DESKTOP (a desktop program's background and icons) at
// the desktop-icon level, which is the ceiling, and every other window, docks
// and panels included, at the ordinary level above it.
constexpr std::int32_t rootWindowLayer = -2147483623;
constexpr std::int32_t desktopIconLayer = -2147483603; // the level ceiling
constexpr std::int32_t ordinaryWindowLayer = 0;
static_assert(rootWindowLayer < desktopIconLayer && desktopIconLayer < ordinaryWindowLayer);

// A reparenting window manager puts a client a level or two below its frame;
// anything deeper than this is not a frame's client.
constexpr int maxFrameDepth = 4;

// Logical buttons as X numbers them.
constexpr int leftButton = 1;
constexpr int rightButton = 3;

// The code of the last protocol error. Xlib's error handler takes no user
// data, so this is process-wide; only the main thread talks to the server.
int g_lastError = 0;

int recordProtocolError(Display*, XErrorEvent* error) {
    // A window that went away between two requests is an ordinary answer
    // here, not a reason to end the process as Xlib's default handler would.
    g_lastError = error->error_code;
    return 0;
}

[[noreturn]] int connectionLost(Display*) {
    // Without the server no click can ever be seen again: say so and end,
    // rather than run on blind.
    events::fail("monitor_lost", "the connection to the X server was lost");
}

// Frees what Xlib allocated when it goes out of scope.
template <typename T> struct XFreed {
    T* data = nullptr;
    ~XFreed() {
        if (data != nullptr) XFree(data);
    }
    XFreed() = default;
    XFreed(const XFreed&) = delete;
    XFreed& operator=(const XFreed&) = delete;
};

// What XGetWindowProperty answers.
struct WindowProperty {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    XFreed<unsigned char> data;
};

// The primary display's rectangle in root coordinates: the origin of the
// contract's display space and the height that maps it onto screen space.
struct PrimaryArea {
    int x = 0;
    int y = 0;
    unsigned height = 0;
};

class X11WindowSystem final : public WindowSystem {
public:
    // The ceiling: desktop-typed windows sit at it, the root below it.
    std::int32_t desktopIconWindowLevel() override { return desktopIconLayer; }

    // An X client shows nothing unless it maps a window, so the application
    // is this backend itself and its activation policy has nothing to change.
    Application sharedApplication() override { return Application{this}; }
    void setActivationPolicy(Application, ActivationPolicy) override {}

    std::optional<Monitor> addGlobalMonitor(EventMask mask, MouseHandler handler) override {
        if (!connect() || !selectRawButtons()) return std::nullopt;
        mask_ = mask;
        handler_ = std::move(handler);
        source_ = dispatch::makeReadSource(ConnectionNumber(display_));
        source_->setHandler([this] { drain(); });
        source_->resume();
        return Monitor{this};
    }

    std::optional<double> primaryScreenHeight() override {
        if (display_ == nullptr) return std::nullopt;
        if (!area_) area_ = primaryArea();
        return static_cast<double>(area_->height);
    }

    std::int64_t windowNumberAtPoint(Point point) override {
        if (display_ == nullptr) return 0;
        if (!area_) area_ = primaryArea();
        // Back from screen space to root coordinates, through the same
        // primary area that the location was measured against.
        double x = std::round(area_->x + point.x);
        double y = std::round(area_->y + (static_cast<double>(area_->height) - point.y));
        // The protocol carries 16-bit coordinates; a point beyond them (or
        // not a number) is on no window.
        constexpr double lowest = std::numeric_limits<std::int16_t>::min();
        constexpr double highest = std::numeric_limits<std::int16_t>::max();
        if (!(x >= lowest && x <= highest && y >= lowest && y <= highest)) return 0;

        int childX = 0;
        int childY = 0;
        Window topLevel = None;
        // The server searches the root's children from the top of the
        // stacking order and honours input shapes, as a press would.
        if (!XTranslateCoordinates(display_, root_, root_, static_cast<int>(x), static_cast<int>(y), &childX, &childY,
                                   &topLevel)) {
            return 0;
        }
        // Nothing above the root: on X11 the bare desktop is the root.
        if (topLevel == None) return static_cast<std::int64_t>(root_);
        return static_cast<std::int64_t>(clientOf(topLevel));
    }

    std::optional<PropertyList> windowDescriptions(std::uint32_t windowId) override {
        if (display_ == nullptr) return std::nullopt;
        PropertyList list = PropertyList::array();
        std::int32_t layer = ordinaryWindowLayer;
        if (windowId == root_) {
            layer = rootWindowLayer;
        } else {
            auto desktop = isDesktopTyped(windowId);
            // A window that is gone has no description, as on the desktop
            // platform.
            if (!desktop) return list;
            if (*desktop) layer = desktopIconLayer;
        }
        PropertyList description = PropertyList::object();
        description[std::string(windowLayerKey)] = layer;
        description["kCGWindowNumber"] = windowId;
        list.push_back(std::move(description));
        return list;
    }

    [[noreturn]] void run(Application) override {
        // Xlib may already hold events that it read while answering the
        // set-up requests; those would not wake the read source.
        if (display_ != nullptr) dispatch::Queue::main().async([this] { drain(); });
        dispatch::runMain();
    }

private:
    bool connect() {
        if (display_ != nullptr) return true;
        XSetErrorHandler(recordProtocolError);
        XSetIOErrorHandler(connectionLost);
        display_ = XOpenDisplay(nullptr);
        if (display_ == nullptr) return false;
        root_ = DefaultRootWindow(display_);
        wmState_ = XInternAtom(display_, "WM_STATE", False);
        windowType_ = XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False);
        desktopType_ = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
        int event = 0;
        int error = 0;
        int major = 1;
        int minor = 3;
        // The primary output needs RandR 1.3; without it the root is the
        // primary screen.
        randr_ = XRRQueryExtension(display_, &event, &error) && XRRQueryVersion(display_, &major, &minor) &&
                 (major > 1 || (major == 1 && minor >= 3));
        return true;
    }

    // XInput 2.2 or later: from 2.2 on raw events reach the root window even
    // while another client holds a grab, and they see every press without
    // taking anything from other clients.
    bool selectRawButtons() {
        int event = 0;
        int error = 0;
        if (!XQueryExtension(display_, "XInputExtension", &xiOpcode_, &event, &error)) return false;
        int major = 2;
        int minor = 2;
        if (XIQueryVersion(display_, &major, &minor) != Success) return false;
        if (major < 2 || (major == 2 && minor < 2)) return false;
        if (isXWayland()) return false;

        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawButtonPress);
        XISetMask(bits, XI_RawButtonRelease);
        // Master devices only: each press then arrives once, not once more
        // for the physical device behind it.
        XIEventMask selection{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        g_lastError = 0;
        XISelectEvents(display_, root_, &selection, 1);
        loadPointerMapping();
        // In force before the caller says it is ready.
        XSync(display_, False);
        return g_lastError == 0;
    }

    // XWayland only sees what happens in its own X windows, never a click on
    // the Wayland desktop. Recent servers announce themselves with an
    // extension; older ones by the names of their outputs.
    bool isXWayland() {
        int opcode = 0;
        int event = 0;
        int error = 0;
        if (XQueryExtension(display_, "XWAYLAND", &opcode, &event, &error)) return true;
        if (!randr_) return false;
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
        if (resources == nullptr) return false;
        bool found = false;
        for (int i = 0; i < resources->noutput && !found; ++i) {
            XRROutputInfo* output = XRRGetOutputInfo(display_, resources, resources->outputs[i]);
            if (output == nullptr) continue;
            found = std::string_view(output->name, static_cast<std::size_t>(output->nameLen)).starts_with("XWAYLAND");
            XRRFreeOutputInfo(output);
        }
        XRRFreeScreenResources(resources);
        return found;
    }

    // The primary output's rectangle when RandR names one that is lit;
    // otherwise the whole root window. Asked afresh for each event, so that
    // a screen that changes needs no bookkeeping.
    PrimaryArea primaryArea() {
        if (randr_) {
            if (auto area = primaryOutputArea()) return *area;
        }
        Window root = None;
        int x = 0;
        int y = 0;
        unsigned width = 0;
        unsigned height = 0;
        unsigned border = 0;
        unsigned depth = 0;
        if (!XGetGeometry(display_, root_, &root, &x, &y, &width, &height, &border, &depth)) {
            return PrimaryArea{0, 0, static_cast<unsigned>(DisplayHeight(display_, DefaultScreen(display_)))};
        }
        return PrimaryArea{0, 0, height};
    }

    std::optional<PrimaryArea> primaryOutputArea() {
        RROutput primary = XRRGetOutputPrimary(display_, root_);
        if (primary == None) return std::nullopt;
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
        if (resources == nullptr) return std::nullopt;
        std::optional<PrimaryArea> area;
        if (XRROutputInfo* output = XRRGetOutputInfo(display_, resources, primary)) {
            if (output->crtc != None) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, output->crtc)) {
                    if (crtc->height > 0) area = PrimaryArea{crtc->x, crtc->y, crtc->height};
                    XRRFreeCrtcInfo(crtc);
                }
            }
            XRRFreeOutputInfo(output);
        }
        XRRFreeScreenResources(resources);
        return area;
    }

    // Handles every event the connection holds, those Xlib has already read
    // included; handling one may read more, so the queue is asked again
    // until it is empty.
    void drain() {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            handle(event);
        }
    }

    void handle(XEvent& event) {
        if (event.type == MappingNotify) {
            if (event.xmapping.request == MappingPointer) loadPointerMapping();
            return;
        }
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != xiOpcode_) return;
        if (!XGetEventData(display_, cookie)) return;
        const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
        int evtype = cookie->evtype;
        int button = logicalButton(raw->detail);
        XFreeEventData(display_, cookie);

        std::optional<EventType> type;
        if (evtype == XI_RawButtonPress && button == leftButton) type = EventType::leftMouseDown;
        if (evtype == XI_RawButtonRelease && button == leftButton) type = EventType::leftMouseUp;
        if (evtype == XI_RawButtonPress && button == rightButton) type = EventType::rightMouseDown;
        // Other buttons (the wheel's 4 to 7 included) and right releases are
        // not delivered.
        if (!type || (mask_ & eventMaskFor(*type)) == 0) return;

        handler_(MouseEvent{*type, pointerLocation()});
    }

    // Raw events number the buttons as the device does; the pointer mapping
    // (a left-handed swap, say) turns them into the buttons the user means.
    // The server tells every client when the mapping changes.
    void loadPointerMapping() {
        unsigned char map[256];
        int count = XGetPointerMapping(display_, map, sizeof map);
        buttonMap_.assign(map, map + std::clamp(count, 0, static_cast<int>(sizeof map)));
    }

    int logicalButton(int physical) const {
        if (physical < 1 || static_cast<std::size_t>(physical) > buttonMap_.size()) return physical;
        return buttonMap_[static_cast<std::size_t>(physical) - 1];
    }

    // Raw events carry no position, so the pointer is asked where it is now,
    // in the display space of the contract: origin at the primary display's
    // top-left corner, y downward.
    std::optional<Point> pointerLocation() {
        area_ = primaryArea();
        Window root = None;
        Window child = None;
        int rootX = 0;
        int rootY = 0;
        int windowX = 0;
        int windowY = 0;
        unsigned buttons = 0;
        // False when the pointer is on another screen of the display.
        if (!XQueryPointer(display_, root_, &root, &child, &rootX, &rootY, &windowX, &windowY, &buttons)) {
            return std::nullopt;
        }
        return Point{static_cast<double>(rootX - area_->x), static_cast<double>(rootY - area_->y)};
    }

    // A window property, up to `length` 32-bit units of it; false when the
    // window does not exist. A property the window lacks reads as type None.
    bool readProperty(Window window, Atom property, long length, Atom type, WindowProperty& read) {
        unsigned long after = 0;
        return XGetWindowProperty(display_, window, property, 0, length, False, type, &read.type, &read.format,
                                  &read.count, &after, &read.data.data) == Success;
    }

    bool hasWmState(Window window) {
        WindowProperty state;
        return readProperty(window, wmState_, 0, AnyPropertyType, state) && state.type != None;
    }

    // The client a window manager's frame holds: the first window at or
    // below `window` that carries WM_STATE. A window with none below it (an
    // unmanaged or override-redirect window, or no window manager at all)
    // stands for itself.
    Window clientOf(Window window) {
        if (hasWmState(window)) return window;
        Window client = clientBelow(window, 1);
        return client != None ? client : window;
    }

    Window clientBelow(Window window, int depth) {
        Window root = None;
        Window parent = None;
        XFreed<Window> children;
        unsigned count = 0;
        if (!XQueryTree(display_, window, &root, &parent, &children.data, &count)) return None;
        // Top of the stack first.
        for (unsigned i = count; i-- > 0;) {
            if (hasWmState(children.data[i])) return children.data[i];
        }
        if (depth >= maxFrameDepth) return None;
        for (unsigned i = count; i-- > 0;) {
            Window client = clientBelow(children.data[i], depth + 1);
            if (client != None) return client;
        }
        return None;
    }

    // Whether the window's _NET_WM_WINDOW_TYPE holds the desktop type;
    // nothing when the window does not exist.
    std::optional<bool> isDesktopTyped(Window window) {
        // Window types are few; 32 atoms are more than any window lists.
        constexpr unsigned long most = 32;
        WindowProperty types;
        if (!readProperty(window, windowType_, most, XA_ATOM, types)) return std::nullopt;
        if (types.type != XA_ATOM || types.format != 32 || types.data.data == nullptr) return false;
        // Format 32 comes back as an array of longs, which is what Atom is.
        Atom atoms[most];
        unsigned long count = std::min(types.count, most);
        std::memcpy(atoms, types.data.data, count * sizeof(Atom));
        return std::find(atoms, atoms + count, desktopType_) != atoms + count;
    }

    Display* display_ = nullptr;
    Window root_ = None;
    Atom wmState_ = None;
    Atom windowType_ = None;
    Atom desktopType_ = None;
    bool randr_ = false;
    int xiOpcode_ = -1;
    EventMask mask_ = 0;
    MouseHandler handler_;
    std::unique_ptr<dispatch::Source> source_;
    // The primary area that the current event's location was measured
    // against; the hit test converts back through the same one.
    std::optional<PrimaryArea> area_;
    // Logical button of each physical one, from 1 on.
    std::vector<unsigned char> buttonMap_;
};

} // namespace

std::unique_ptr<WindowSystem> makeWindowSystem() { return std::make_unique<X11WindowSystem>(); }

} // namespace velko::window_system
