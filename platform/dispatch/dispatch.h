// The small part of libdispatch that the helper programs use: the main queue
// and the loop that serves it, serial queues, the global queue, and signal,
// read and timer sources delivered on the main queue.
//
// On macOS this is a thin wrapper over libdispatch; on Linux it is a poll loop
// on the main thread plus one thread per serial queue. Every thread that this
// layer starts has the asynchronous signals blocked, so that only the main
// thread ever decides what a signal does.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>

namespace velko::dispatch {

using Work = std::function<void()>;

enum class Qos { unspecified, userInitiated, defaultQos };

class Queue {
public:
    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    virtual ~Queue() = default;

    // The main queue, executed by runMain() on the main thread.
    static Queue& main();
    // The global concurrent queue of default quality of service.
    static Queue& global();
    // A new serial queue: blocks run one at a time, in submission order.
    static std::unique_ptr<Queue> serial(const std::string& label, Qos qos);

    virtual void async(Work work) = 0;
    // Runs `work` on the queue and returns once it, and everything submitted
    // before it, has finished. Never call it from the queue itself.
    virtual void sync(Work work) = 0;
    // When the queue is idle (nothing queued, nothing running), runs `work`
    // at once on the calling thread as the queue's next block and returns
    // true; otherwise returns false without running it. It never waits, so a
    // producer on a time-critical thread can spare itself the hop to the
    // queue's thread and hand the work over with `async` when it must.
    // Queues that cannot lend themselves to another thread return false.
    virtual bool runNowIfIdle(const Work& work) {
        (void)work;
        return false;
    }
    virtual const std::string& label() const = 0;
    // The platform's own queue object (a dispatch_queue_t on macOS), for
    // platform calls that take a queue; nullptr where there is none.
    virtual void* native() const = 0;
};

// A source delivers its handler on the main queue. It is created suspended:
// set the handler, then resume. Sources live until process exit.
class Source {
public:
    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    virtual ~Source() = default;

    virtual void setHandler(Work handler) = 0;
    // Starts delivery; after `suspend`, takes it up again.
    virtual void resume() = 0;
    // Holds delivery back until the next `resume`; the source stays.
    virtual void suspend() = 0;
};

// Runs the handler after `signo` arrives; arrivals before the handler runs may
// merge into one run. From creation on the signal no longer takes its
// default action in this process (it is held for the source).
std::unique_ptr<Source> makeSignalSource(int signo);

// Runs the handler whenever `fd` is readable, end of file included, for as
// long as that lasts. A descriptor that cannot be polled (a regular file)
// counts as always readable.
std::unique_ptr<Source> makeReadSource(int fd);

// A repeating timer: first deadline now, then every `interval`, no leeway.
// Firings missed while the main thread was busy merge into one run.
std::unique_ptr<Source> makeTimerSource(std::chrono::nanoseconds interval);

// Hands the main thread to the main queue for good (dispatch_main).
[[noreturn]] void runMain();

// Runs the main run loop (NSRunLoop on macOS). Not expected to return; if it
// does, the caller decides what follows.
void runMainRunLoop();

// Test support: serves the main queue until `done()` holds or `timeout`
// passes. Returns done().
bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Blocks the asynchronous signals in the calling thread while it lives and
// restores the previous mask afterwards. Threads started inside the scope
// inherit the blocked mask from their first instruction.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked();
    ~AsyncSignalsBlocked();
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t previous_{};
};

} // namespace velko::dispatch
