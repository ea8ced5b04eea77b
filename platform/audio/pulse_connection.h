// One connection to the user's pulse server (PulseAudio, or PipeWire's pulse
// server) on libpulse's threaded main loop. Every use of the context happens
// under the main loop's lock; callers on other threads wait for replies, and
// the loop thread runs the callbacks with the lock held.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace velko::audio::pulse {

class Connection {
public:
    explicit Connection(std::string applicationName);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Ends the loop thread and the connection; no callback runs after it.
    // Call it without holding the lock.
    void stop();

    // The main loop's lock (recursive). Callbacks already hold it.
    void lock();
    void unlock();
    bool inLoopThread() const;

    // Under the lock, off the loop thread: the ready context, connecting
    // anew when there is none. nullptr when no server can be reached; a
    // failed attempt is repeated at most once a second, so that polling a
    // machine without a server stays cheap.
    pa_context* ready();
    // Under the lock, off the loop thread: waits until `op` has finished or
    // the connection has failed, then releases it. True when it finished.
    bool wait(pa_operation* op);
    // The same, but gives up (cancelling `op`) once the monotonic clock
    // (pa_rtclock_now) reaches `deadline`: a server that is alive but does
    // not answer (stopped, or stuck) must not hold the caller for ever.
    bool waitUntil(pa_operation* op, pa_usec_t deadline);
    // Wakes the threads that wait on the loop (from loop callbacks).
    void signal();

    // The context while it is ready, else nullptr; never connects.
    pa_context* context() const { return isReady() ? context_ : nullptr; }
    pa_threaded_mainloop* loop() const { return loop_; }
    // Counts the connections made: objects of an earlier server are never
    // confused with those of a later one that reuses the same indices.
    std::uint32_t generation() const { return generation_; }
    bool isReady() const;

    // Called on the loop thread, under the lock.
    std::function<void(pa_subscription_event_type_t type, std::uint32_t index)> onEvent;
    std::function<void()> onConnected; // a new connection became ready
    std::function<void()> onLost;      // a ready connection went away

private:
    static void contextStateChanged(pa_context* context, void* self);
    static void subscriptionEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                                  void* self);
    void dropContext();

    std::string applicationName_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool wasReady_ = false;
    std::uint32_t generation_ = 0;
    bool stopped_ = false;
    bool attempted_ = false;
    std::chrono::steady_clock::time_point lastAttempt_;
};

// Holds the connection's lock for a scope.
class Locked {
public:
    explicit Locked(Connection& connection) : connection_(connection) { connection_.lock(); }
    ~Locked() { connection_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Connection& connection_;
};

} // namespace velko::audio::pulse
