#include "recorder/tests/recorder_child.h"

#include "platform/dispatch/dispatch.h"
#include "recorder/recorder.h"
#include "recorder/tests/scripted_world.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <thread>

// Under ThreadSanitizer every exit waits a second for the other threads by
// default; the recorder always exits with its queue threads parked, so that
// wait would only slow each child down. (Unused in other builds.)
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the runtime looks up
extern "C" const char* __tsan_default_options() { return "atexit_sleep_ms=0"; }

namespace velko::recorder::testing {

void Feeder::waitUntilWatching() {
    if (!hal.waitUntilRunning(5s) || !hal.waitForCalls("addPropertyListener", 2, 5s)) ::_exit(90);
}

bool Feeder::cycles(int count, std::int64_t frames) {
    for (int i = 0; i < count; ++i) {
        if (!hal.deliverCycleAndWait(knownCycle(next_, frames))) return false;
        next_ += frames;
    }
    return true;
}

void Feeder::ack() {
    char byte = 'a';
    while (::write(ackFd_, &byte, 1) < 0 && errno == EINTR) {
    }
}

RecorderChild::RecorderChild(velko::testing::ChildProcess child, int logFd, int ackFd)
    : child_(std::move(child)), logFd_(logFd), ackFd_(ackFd) {}

RecorderChild::RecorderChild(RecorderChild&& other) noexcept
    : child_(std::move(other.child_)), logFd_(other.logFd_), ackFd_(other.ackFd_), acks_(other.acks_),
      log_(std::move(other.log_)) {
    other.logFd_ = other.ackFd_ = -1;
}

RecorderChild::~RecorderChild() {
    for (int fd : {logFd_, ackFd_}) {
        if (fd >= 0) ::close(fd);
    }
}

RecorderChild RecorderChild::start(std::vector<std::string> args, Script script, Plan plan) {
    int logPipe[2], ackPipe[2];
    if (::pipe2(logPipe, O_CLOEXEC) != 0 || ::pipe2(ackPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    auto child = velko::testing::ChildProcess::fork([&]() -> int {
        ::close(logPipe[0]);
        ::close(ackPipe[0]);
        auto hal = std::make_unique<audio::ScriptedHal>();
        scriptWorkingSystem(*hal);
        if (script) script(*hal);
        int logFd = logPipe[1];
        hal->setCallObserver([logFd](const audio::ScriptedHal::Call& call) {
            std::string line = call.describe() + "\n";
            (void)!::write(logFd, line.data(), line.size());
        });
        if (plan) {
            // Like every thread but the main one, the feeder keeps the
            // asynchronous signals blocked, so that they reach the
            // recorder's signal sources.
            dispatch::AsyncSignalsBlocked blocked;
            std::thread([&hal = *hal, ackFd = ackPipe[1], plan] {
                Feeder feeder(hal, ackFd);
                plan(feeder);
            }).detach();
        }
        run(args, *hal);
    });
    ::close(logPipe[1]);
    ::close(ackPipe[1]);
    return RecorderChild(std::move(child), logPipe[0], ackPipe[0]);
}

bool RecorderChild::waitForAck(int n, std::chrono::milliseconds timeout, bool readStdout) {
    return child_.waitFor(
        [&] {
            pollfd fd{ackFd_, POLLIN, 0};
            while (acks_ < n && ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0) {
                char byte;
                if (::read(ackFd_, &byte, 1) != 1) break;
                ++acks_;
            }
            return acks_ >= n;
        },
        timeout, readStdout);
}

std::vector<std::string> RecorderChild::callLog() {
    char buffer[4096];
    for (;;) {
        pollfd fd{logFd_, POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0) break;
        ssize_t n = ::read(logFd_, buffer, sizeof buffer);
        if (n <= 0) break;
        log_.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = log_.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(log_.substr(start, nl - start));
    }
    return lines;
}

} // namespace velko::recorder::testing
