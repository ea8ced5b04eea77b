// A private X server for one test: Xvfb (or XWayland) on a display it picks itself
// (-displayfd), with a home of its own for the desktop programs that run on
// it, stopped (and the home removed) when the object goes. The test also
// gets a connection of its own, to make windows, hold grabs and look at the
// window tree.
#pragma once

#include "test-support/child_process.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// Xlib's macros stay out of the tests' way; the connection is handed out as
// the opaque type Xlib itself declares.
using Display = struct _XDisplay;

namespace velko::e2e {

enum class XServerKind {
    xvfb,
    // XWayland on a headless Wayland compositor (weston): what an X client
    // meets in a Wayland session.
    xwayland,
};

class XServer {
public:
    static constexpr int width = 1280;
    static constexpr int height = 800;

    // Starts the server and connects to it. On failure returns nullptr and
    // says why in `error`.
    static std::unique_ptr<XServer> start(std::string& error, XServerKind kind = XServerKind::xvfb);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":N"
    const std::string& name() const { return name_; }
    // "NAME=value" entries that point a client at this server (and its
    // desktop programs at the private home).
    const std::vector<std::string>& env() const { return env_; }
    // The test's own connection.
    Display* display() const { return display_; }
    pid_t pid() const { return pid_; }

    // Starts a long-running client (looked up on PATH).
    testing::ChildProcess spawn(const std::vector<std::string>& argv) const;
    // Runs `xdotool` with these arguments to its end; true when it
    // succeeded.
    bool xdotool(const std::vector<std::string>& args) const;

    // Ends the server at once with SIGKILL, as a crash would.
    void kill();

private:
    XServer() = default;
    void stop(int signo);
    bool startCompositor(std::string& error);

    pid_t pid_ = -1;
    std::string name_;
    std::string home_;
    std::vector<std::string> env_;
    Display* display_ = nullptr;
    std::unique_ptr<testing::ChildProcess> compositor_;
};

} // namespace velko::e2e
