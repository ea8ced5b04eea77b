// Runs the whole recorder in a child process against a scripted machine.
// The scripted machine lives in the child, so the test talks to it through
// two extra pipes: the child streams its platform call log out as it goes,
// and a feeder thread in the child (which plays the device's IO cycles and
// changes property values) reports each step it finishes.
#pragma once

#include "platform/audio/scripted.h"
#include "test-support/child_process.h"

#include <functional>
#include <string>
#include <vector>

namespace velko::recorder::testing {

using namespace std::chrono_literals;

// The feeder's side, in the child.
class Feeder {
public:
    Feeder(audio::ScriptedHal& hal, int ackFd) : hal(hal), ackFd_(ackFd) {}

    audio::ScriptedHal& hal;

    // Waits until the device runs and the recorder watches its signals and
    // devices (the listeners come right after the signal sources).
    void waitUntilWatching();
    // Plays `count` cycles of `frames` known frames each, continuing the
    // known stream, each run to completion on the capture queue. Returns
    // false, having stopped, at the first cycle the device no longer takes.
    bool cycles(int count, std::int64_t frames);
    std::int64_t framesFed() const { return next_; }
    // Tells the test that the steps so far are done.
    void ack();

private:
    int ackFd_;
    std::int64_t next_ = 0;
};

class RecorderChild {
public:
    using Script = std::function<void(audio::ScriptedHal&)>;
    using Plan = std::function<void(Feeder&)>;

    // Starts run(args) on a working scripted machine changed by `script`;
    // `plan`, if given, runs on a feeder thread in the child.
    static RecorderChild start(std::vector<std::string> args, Script script = {}, Plan plan = {});

    RecorderChild(RecorderChild&& other) noexcept;
    RecorderChild& operator=(RecorderChild&&) = delete;
    ~RecorderChild();

    velko::testing::ChildProcess& process() { return child_; }

    // Waits for the feeder's `n`th ack (counted from the start), reading
    // standard output only when `readStdout` is true.
    bool waitForAck(int n, std::chrono::milliseconds timeout = 5s, bool readStdout = true);
    // The child's platform calls, in order; complete once it has exited.
    std::vector<std::string> callLog();

private:
    RecorderChild(velko::testing::ChildProcess child, int logFd, int ackFd);

    velko::testing::ChildProcess child_;
    int logFd_ = -1;
    int ackFd_ = -1;
    int acks_ = 0;
    std::string log_;
};

} // namespace velko::recorder::testing
