// What velko-pointer-sentry costs on a private X server (Xvfb):
//   - the delay from a click to its line on standard output, over 100
//     clicks on the bare desktop, measured from the XTEST request that
//     xdotool also sends, and from the start of an `xdotool click` process;
//   - CPU ticks and resident memory over an idle stretch (60 s unless told);
//   - CPU over 1000 clicks.
//
//   pointer_sentry_x11_bench [IDLE_SECONDS]
//
// It prints figures and asserts nothing about them.
#include "tests/e2e/x11_server.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using velko::e2e::XServer;
using velko::testing::ChildProcess;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// utime + stime of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    return std::lround(velko::testing::cpuSeconds(pid) * static_cast<double>(::sysconf(_SC_CLK_TCK)));
}

// A "Vm..." entry of /proc/PID/status, in KiB.
long statusKiB(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key + ":")) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

struct Figures {
    double median = 0;
    double max = 0;
};

Figures summary(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Bench {
public:
    explicit Bench(XServer& server, ChildProcess& sentry) : server_(server), sentry_(sentry) {}

    // One left click through XTEST, then the wait for its line.
    double clickByRequest() {
        Display* display = server_.display();
        auto start = Clock::now();
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XFlush(display);
        awaitLine();
        return millisecondsSince(start);
    }

    // One `xdotool click`, process start included: from its start to the
    // line, whenever xdotool itself ends.
    double clickByXdotool() {
        auto start = Clock::now();
        auto xdotool = server_.spawn({"xdotool", "click", "--delay", "0", "1"});
        awaitLine();
        double ms = millisecondsSince(start);
        xdotool.closeStdin();
        auto result = xdotool.wait();
        if (!result.exited || result.status != 0) std::cerr << "bench: xdotool failed: " << xdotool.err() << "\n";
        return ms;
    }

private:
    void awaitLine() {
        ++expected_;
        if (!sentry_.waitForOutLines(expected_ + 1, 10s)) {
            std::cerr << "bench: no line for click " << expected_ << "\n" << sentry_.err() << "\n";
            std::exit(1);
        }
    }

    XServer& server_;
    ChildProcess& sentry_;
    std::size_t expected_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::string error;
    auto server = XServer::start(error);
    if (!server) {
        std::cerr << "bench: " << error << "\n";
        return 1;
    }
    auto sentry = server->spawn({VELKO_POINTER_SENTRY});
    if (!sentry.waitForOutLines(1)) {
        std::cerr << "bench: the sentry did not start: " << sentry.err() << "\n";
        return 1;
    }
    // On the bare root window, which is the desktop here.
    XTestFakeMotionEvent(server->display(), -1, 640, 400, CurrentTime);
    XSync(server->display(), False);
    Bench bench(*server, sentry);
    long ticksPerSecond = ::sysconf(_SC_CLK_TCK);

    std::vector<double> byRequest;
    std::vector<double> byXdotool;
    byRequest.reserve(100);
    byXdotool.reserve(100);
    for (int i = 0; i < 100; ++i) {
        byRequest.push_back(bench.clickByRequest());
        // Clicks apart, as a hand makes them.
        std::this_thread::sleep_for(20ms);
    }
    for (int i = 0; i < 100; ++i) byXdotool.push_back(bench.clickByXdotool());
    auto request = summary(byRequest);
    auto xdotool = summary(byXdotool);
    std::cout << std::fixed << std::setprecision(3);
    std::cout << "click to line, XTEST request:  median " << request.median << " ms, max " << request.max
              << " ms (100 clicks)\n";
    std::cout << "click to line, xdotool click:  median " << xdotool.median << " ms, max " << xdotool.max
              << " ms (100 clicks, process start included)\n";

    long before = cpuTicks(sentry.pid());
    sentry.waitFor([] { return false; }, std::chrono::seconds(idleSeconds));
    long idle = cpuTicks(sentry.pid()) - before;
    std::cout << "idle " << idleSeconds << " s: " << idle << " CPU ticks (of " << ticksPerSecond << " per second), RSS "
              << statusKiB(sentry.pid(), "VmRSS") << " KiB, peak RSS " << statusKiB(sentry.pid(), "VmHWM") << " KiB\n";

    before = cpuTicks(sentry.pid());
    auto start = Clock::now();
    for (int i = 0; i < 1000; ++i) bench.clickByRequest();
    long busy = cpuTicks(sentry.pid()) - before;
    double wall = millisecondsSince(start);
    double cpuMs = 1000.0 * static_cast<double>(busy) / static_cast<double>(ticksPerSecond);
    std::cout << "1000 clicks in " << wall << " ms: " << busy << " CPU ticks (" << cpuMs << " ms of CPU, "
              << cpuMs / 1000.0 << " ms a click), RSS " << statusKiB(sentry.pid(), "VmRSS") << " KiB\n";
    sentry.closeStdin();
    sentry.wait();
    return 0;
}
