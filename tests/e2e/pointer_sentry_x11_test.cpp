// velko-pointer-sentry on a private X server: xdotool clicks on the bare
// root window, on windows of the test's own, on a real desktop program's
// background under a real reparenting window manager, and through another
// client's pointer grab; and the ends: no display, XWayland, a server that
// dies, a closed standard input.
//
// The lines are all alike, so a test that expects none after a gesture ends
// it with a click that must count (a fence): events are handled in order, so
// once the fence's line is there the gesture has been judged, and a short
// wait after it shows a line too many.
#include "tests/e2e/x11_server.h"

#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

namespace velko::e2e {
namespace {

using testing::ChildProcess;
using namespace std::chrono_literals;

const std::string readyLine = "{\"event\":\"ready\"}\n";

std::size_t clicks(const ChildProcess& sentry) {
    std::size_t n = 0;
    for (const auto& line : sentry.outEvents()) {
        if (line == nlohmann::json{{"event", "desktopClick"}}) ++n;
    }
    return n;
}

// Waits for the n-th click line, then a little longer for one too many.
void expectClicks(ChildProcess& sentry, std::size_t n) {
    EXPECT_TRUE(sentry.waitFor([&] { return clicks(sentry) >= n; }, 10s)) << sentry.out() << sentry.err();
    sentry.waitFor([&] { return clicks(sentry) > n; }, 300ms);
    EXPECT_EQ(clicks(sentry), n) << sentry.out() << sentry.err();
    EXPECT_EQ(sentry.outEvents().size(), n + 1) << "only ready and click lines: " << sentry.out();
}

// The sentry ends at once with the "monitor" line and exit status 1.
void expectNoMonitor(ChildProcess& sentry) {
    auto result = sentry.wait();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(sentry.out(), "");
    EXPECT_EQ(
        sentry.err(),
        "{\"code\":\"monitor\",\"event\":\"error\",\"message\":\"could not install the global mouse monitor\"}\n");
}

struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::string centre() const { return std::to_string(x + width / 2) + " " + std::to_string(y + height / 2); }
};

class PointerSentryX11 : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        server_ = XServer::start(error);
        ASSERT_TRUE(server_) << error;
        display_ = server_->display();
    }

    ChildProcess startSentry() {
        auto sentry = server_->spawn({VELKO_POINTER_SENTRY});
        EXPECT_TRUE(sentry.waitForOutLines(1)) << sentry.err();
        EXPECT_EQ(sentry.out(), readyLine) << sentry.err();
        return sentry;
    }

    // "x y", in root coordinates.
    void moveTo(const std::string& point) { xdotool("mousemove " + point); }

    void xdotool(const std::string& script) {
        std::vector<std::string> args;
        std::size_t start = 0;
        while (start < script.size()) {
            std::size_t end = script.find(' ', start);
            if (end == std::string::npos) end = script.size();
            if (end > start) args.push_back(script.substr(start, end - start));
            start = end + 1;
        }
        ASSERT_TRUE(server_->xdotool(args)) << "xdotool " << script;
    }

    // A plain top-level window of the test's own, asked for at `box`; under
    // a window manager it may end up elsewhere, so callers ask placed().
    Window makeWindow(const Box& box) {
        Window root = DefaultRootWindow(display_);
        Window window = XCreateSimpleWindow(display_, root, box.x, box.y, static_cast<unsigned>(box.width),
                                            static_cast<unsigned>(box.height), 0, 0, 0xffffff);
        XSizeHints hints{};
        hints.flags = USPosition | USSize;
        hints.x = box.x;
        hints.y = box.y;
        hints.width = box.width;
        hints.height = box.height;
        XSetWMNormalHints(display_, window, &hints);
        XStoreName(display_, window, "velko test window");
        XMapWindow(display_, window);
        XSync(display_, False);
        EXPECT_TRUE(eventually([&] { return viewable(window); })) << "the test window was never shown";
        return window;
    }

    bool viewable(Window window) {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display_, window, &attributes) != 0 && attributes.map_state == IsViewable;
    }

    Window parentOf(Window window) {
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display_, window, &root, &parent, &children, &count) == 0) return None;
        if (children != nullptr) XFree(children);
        return parent;
    }

    // Where the window is on the root window now.
    Box placed(Window window) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display_, window, &attributes);
        int x = 0;
        int y = 0;
        Window child = None;
        XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
        return Box{x, y, attributes.width, attributes.height};
    }

    // The child of the root window that holds `window`.
    Window topLevelOf(Window window) {
        Window root = DefaultRootWindow(display_);
        for (Window parent = parentOf(window); parent != None && parent != root; parent = parentOf(window)) {
            window = parent;
        }
        return window;
    }

    // After a failure: the window tree and what a desktop program said.
    // Ends `program` and says how it ended, what it wrote and what the
    // screen held.
    std::string describe(ChildProcess& program) {
        program.waitFor([] { return false; }, 100ms);
        auto end = program.wait(100ms);
        std::string ending = end.timedOut   ? "it was still running"
                             : end.exited   ? "it had exited with status " + std::to_string(end.status)
                             : end.signaled ? "it had been killed by signal " + std::to_string(end.signal)
                                            : "it had ended";
        return ending + "\nwindow tree:\n" + windowTree() + "\nits output:\n" + program.out() + program.err();
    }

    void diagnose(ChildProcess& program, const std::string& what) {
        ADD_FAILURE() << what << "; " << describe(program);
    }

    // Starts the desktop program and waits for its window. One that falls
    // over or hangs while it starts is the fixture's trouble, not the
    // sentry's, so it gets a second start; `trouble` keeps what the failed
    // starts did.
    std::optional<ChildProcess> startDesktop(Window& background, std::string& trouble) {
        for (int attempt = 1; attempt <= 2; ++attempt) {
            // Its pipes are read while it starts, so that nothing it writes
            // can hold it up.
            auto desktop = server_->spawn({"pcmanfm", "--desktop"});
            if (desktop.waitFor([&] { return (background = desktopWindow()) != None; }, 15s)) return desktop;
            trouble += "start " + std::to_string(attempt) + ": " + describe(desktop) + "\n";
        }
        return std::nullopt;
    }

    // What xwininfo says of the whole window tree, for failure messages.
    std::string windowTree() {
        auto xwininfo = server_->spawn({"xwininfo", "-root", "-tree"});
        xwininfo.closeStdin();
        xwininfo.wait();
        return xwininfo.out();
    }

    // The top-level window at a root point, None for the bare root.
    Window topLevelAt(int x, int y) {
        int childX = 0;
        int childY = 0;
        Window child = None;
        Window root = DefaultRootWindow(display_);
        XTranslateCoordinates(display_, root, root, x, y, &childX, &childY, &child);
        return child;
    }

    bool windowManagerRuns() {
        Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(display_, DefaultRootWindow(display_), check, 0, 1, False, XA_WINDOW, &type, &format, &count,
                           &after, &data);
        if (data != nullptr) XFree(data);
        return count == 1;
    }

    // A viewable managed window typed _NET_WM_WINDOW_TYPE_DESKTOP.
    Window desktopWindow() {
        Atom clientList = XInternAtom(display_, "_NET_CLIENT_LIST", False);
        Atom windowType = XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False);
        Atom desktopType = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
        for (Window client : windowList(DefaultRootWindow(display_), clientList, XA_WINDOW)) {
            for (Window atom : windowList(client, windowType, XA_ATOM)) {
                if (atom == desktopType && viewable(client)) return client;
            }
        }
        return None;
    }

    std::vector<unsigned long> windowList(Window window, Atom property, Atom type) {
        Atom actual = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(display_, window, property, 0, 1024, False, type, &actual, &format, &count, &after,
                               &data) == Success &&
            data != nullptr && format == 32) {
            const auto* longs = reinterpret_cast<const unsigned long*>(data);
            values.assign(longs, longs + count);
        }
        if (data != nullptr) XFree(data);
        return values;
    }

    std::unique_ptr<XServer> server_;
    Display* display_ = nullptr;
};

// A spot of the bare root window, away from every window the tests make.
const std::string rootSpot = "1100 650";
// Right clicks count at the press and leave a pending left press alone,
// which makes them the fence on the bare root.
const std::string fence = "mousemove " + rootSpot + " click --delay 0 3";

TEST_F(PointerSentryX11, ClicksOnTheBareRootWindowUntilStandardInputCloses) {
    auto sentry = startSentry();
    moveTo("640 400");
    xdotool("click --delay 0 1");
    expectClicks(sentry, 1);

    // The right click counts at its press, before any release.
    xdotool("mousedown 3");
    expectClicks(sentry, 2);
    xdotool("mouseup 3");

    xdotool("click --delay 0 --repeat 2 1");
    expectClicks(sentry, 4);

    // The middle button and the wheel are not clicks.
    xdotool("click --delay 0 2 click --delay 0 4 click --delay 0 5 click --delay 0 6 click --delay 0 7");
    xdotool(fence);
    expectClicks(sentry, 5);

    sentry.closeStdin();
    auto result = sentry.wait(5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(sentry.err(), "");
}

TEST_F(PointerSentryX11, AReleaseBeyondTheSlopIsNoClick) {
    // Press, (right click: the press has been taken where it landed), move,
    // release, fence: the move decides whether the release makes a line.
    const struct {
        const char* move;
        std::size_t lines; // the right click and the fence included
    } cases[] = {{"10 0", 2}, {"3 0", 3}, {"0 4", 3}, {"3 3", 2}};
    auto sentry = startSentry();
    std::size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.move);
        moveTo("400 300");
        xdotool("mousedown 1 click --delay 0 3");
        expectClicks(sentry, seen + 1);
        xdotool(std::string("mousemove_relative -- ") + c.move + " mouseup 1");
        xdotool(fence);
        seen += c.lines;
        expectClicks(sentry, seen);
    }
}

TEST_F(PointerSentryX11, ALeftHandedButtonMappingSwapsTheButtons) {
    auto sentry = startSentry();
    unsigned char map[32];
    int count = XGetPointerMapping(display_, map, sizeof map);
    ASSERT_GE(count, 3);
    std::swap(map[0], map[2]);
    ASSERT_EQ(XSetPointerMapping(display_, map, count), MappingSuccess);
    XSync(display_, False);
    // The server tells the sentry of the change before it sends it any
    // later press. A right click now counts at once, at its press.
    xdotool("mousemove 640 400 mousedown 1");
    expectClicks(sentry, 1);
    xdotool("mouseup 1");
    std::size_t seen = 1;

    // Physical button 3 is the left one: its press waits for the release,
    // and a drag beyond the slop makes no click. Physical 1 is the fence.
    xdotool("mousedown 3 click --delay 0 1");
    expectClicks(sentry, seen + 1);
    xdotool("mousemove_relative -- 10 0 mouseup 3 click --delay 0 1");
    expectClicks(sentry, seen + 2);
}

TEST_F(PointerSentryX11, ClicksOnAnOrdinaryWindowDoNotCount) {
    Window window = makeWindow({100, 100, 400, 300});
    ASSERT_EQ(topLevelAt(300, 250), window);
    auto sentry = startSentry();

    xdotool("mousemove 300 250 click --delay 0 1 click --delay 0 3");
    xdotool(fence);
    expectClicks(sentry, 1);

    // Pressed on the window, released on the desktop. The sentry asks where
    // the pointer is when it handles the press, so the pointer stays a
    // moment, as a hand does; nothing the sentry writes could say when it
    // has looked.
    xdotool("mousemove 300 250 mousedown 1");
    std::this_thread::sleep_for(300ms);
    xdotool("mousemove " + rootSpot + " mouseup 1");
    xdotool(fence);
    expectClicks(sentry, 2);
}

TEST_F(PointerSentryX11, ClicksStillArriveWhileAnotherClientHoldsAGrab) {
    auto sentry = startSentry();
    Window root = DefaultRootWindow(display_);
    ASSERT_EQ(XGrabPointer(display_, root, False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync, GrabModeAsync,
                           None, None, CurrentTime),
              GrabSuccess);
    XSync(display_, False);

    xdotool("mousemove 640 400 click --delay 0 1");
    expectClicks(sentry, 1);
    xdotool("click --delay 0 3");
    expectClicks(sentry, 2);
    XUngrabPointer(display_, CurrentTime);
    XSync(display_, False);
}

TEST_F(PointerSentryX11, ADesktopProgramUnderAWindowManagerCountsAndFramedWindowsDoNot) {
    auto manager = server_->spawn({"openbox"});
    ASSERT_TRUE(eventually([&] { return windowManagerRuns(); }, 20s)) << "openbox did not start";
    Window background = None;
    std::string trouble;
    auto started = startDesktop(background, trouble);
    ASSERT_TRUE(started) << "pcmanfm showed no desktop window\n" << trouble;
    ChildProcess& desktop = *started;
    if (!trouble.empty()) std::cerr << "pcmanfm needed a second start\n" << trouble;

    Window window = makeWindow({100, 100, 400, 300});
    ASSERT_TRUE(eventually([&] { return parentOf(window) != DefaultRootWindow(display_); }))
        << "openbox did not frame the test window";
    Box client = placed(window);
    Box frame = placed(parentOf(window));
    // Decorations above the client: a click there is on the window too.
    ASSERT_LT(frame.y, client.y) << "the frame has no title bar";
    std::string titleBar = std::to_string(client.x + client.width / 2) + " " + std::to_string(client.y - 3);
    // The desktop spot lies on the desktop program's window (in its frame),
    // not on the bare root.
    const std::string desktopSpot = "1100 650";
    ASSERT_TRUE(eventually([&] { return topLevelAt(1100, 650) == topLevelOf(background); })) << windowTree();

    auto sentry = startSentry();
    xdotool("mousemove " + desktopSpot + " click --delay 0 1");
    expectClicks(sentry, 1);
    if (HasFailure()) return diagnose(desktop, "the desktop click was not counted");

    // The client area and the frame's title bar, then a desktop click as
    // the fence (a right click would open the desktop's menu).
    xdotool("mousemove " + client.centre() + " click --delay 0 1");
    xdotool("mousemove " + titleBar + " click --delay 0 1");
    xdotool("mousemove " + desktopSpot + " click --delay 0 1");
    expectClicks(sentry, 2);
    if (HasFailure()) diagnose(desktop, "after the clicks on the window and its frame");
}

TEST_F(PointerSentryX11, WithoutADisplayThereIsNoMonitor) {
    auto sentry = ChildProcess::spawn({"/usr/bin/env", "-u", "DISPLAY", VELKO_POINTER_SENTRY});
    expectNoMonitor(sentry);
}

TEST(PointerSentryXWayland, XWaylandIsRefusedThoughItOffersXInput2) {
    std::string error;
    auto server = XServer::start(error, XServerKind::xwayland);
    ASSERT_TRUE(server) << error;
    // All that the sentry asks of a real X server is there.
    int opcode = 0;
    int event = 0;
    int errorBase = 0;
    ASSERT_TRUE(XQueryExtension(server->display(), "XInputExtension", &opcode, &event, &errorBase));
    int major = 2;
    int minor = 2;
    ASSERT_EQ(XIQueryVersion(server->display(), &major, &minor), Success);
    EXPECT_TRUE(major > 2 || minor >= 2) << major << "." << minor;

    auto sentry = server->spawn({VELKO_POINTER_SENTRY});
    expectNoMonitor(sentry);
}

TEST_F(PointerSentryX11, AServerThatDiesEndsTheSentryWithinASecond) {
    auto sentry = startSentry();
    auto killed = std::chrono::steady_clock::now();
    server_->kill();
    auto result = sentry.wait(1s);
    auto took = std::chrono::steady_clock::now() - killed;
    EXPECT_FALSE(result.timedOut) << "still running a second after the server died";
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_LT(took, 1s);
    auto errors = sentry.errEvents();
    ASSERT_EQ(errors.size(), 1u) << sentry.err();
    EXPECT_EQ(errors[0], (nlohmann::json{{"event", "error"},
                                         {"code", "monitor_lost"},
                                         {"message", "the connection to the X server was lost"}}));
    EXPECT_EQ(sentry.out(), readyLine);
}

} // namespace
} // namespace velko::e2e
