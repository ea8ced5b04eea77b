#include "platform/audio/pulse_connection.h"

#include "platform/dispatch/dispatch.h"

namespace velko::audio::pulse {

Connection::Connection(std::string applicationName) : applicationName_(std::move(applicationName)) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_set_name(loop_, "velko.pulse");
    // The loop thread must never take SIGINT or SIGTERM: it inherits the
    // blocked mask from here, and the main thread alone decides.
    dispatch::AsyncSignalsBlocked blocked;
    if (pa_threaded_mainloop_start(loop_) < 0) {
        // Without its thread the loop is no use: behave as if no server.
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }
}

Connection::~Connection() {
    stop();
    if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
}

void Connection::stop() {
    if (loop_ == nullptr || stopped_) return;
    stopped_ = true;
    pa_threaded_mainloop_stop(loop_);
    dropContext();
}

void Connection::lock() {
    if (loop_ != nullptr) pa_threaded_mainloop_lock(loop_);
}
void Connection::unlock() {
    if (loop_ != nullptr) pa_threaded_mainloop_unlock(loop_);
}
bool Connection::inLoopThread() const { return loop_ != nullptr && pa_threaded_mainloop_in_thread(loop_) != 0; }
void Connection::signal() { pa_threaded_mainloop_signal(loop_, 0); }

bool Connection::isReady() const { return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY; }

void Connection::dropContext() {
    if (context_ == nullptr) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void Connection::contextStateChanged(pa_context* context, void* self) {
    auto* connection = static_cast<Connection*>(self);
    auto state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state) && connection->wasReady_) {
        connection->wasReady_ = false;
        if (connection->onLost) connection->onLost();
    }
    connection->signal();
}

void Connection::subscriptionEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
    auto* connection = static_cast<Connection*>(self);
    if (connection->onEvent) connection->onEvent(type, index);
}

pa_context* Connection::ready() {
    if (isReady()) return context_;
    if (loop_ == nullptr || stopped_ || inLoopThread()) return nullptr;
    auto now = std::chrono::steady_clock::now();
    if (attempted_ && now - lastAttempt_ < std::chrono::seconds(1)) return nullptr;
    attempted_ = true;
    lastAttempt_ = now;
    dropContext();

    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, applicationName_.c_str());
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), applicationName_.c_str(), properties);
    pa_proplist_free(properties);
    if (context_ == nullptr) return nullptr;
    pa_context_set_state_callback(context_, &Connection::contextStateChanged, this);
    // Never start a server of our own: no server means no audio system.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        dropContext();
        return nullptr;
    }
    for (;;) {
        auto state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            dropContext();
            return nullptr;
        }
        pa_threaded_mainloop_wait(loop_);
    }
    wasReady_ = true;
    ++generation_;
    pa_context_set_subscribe_callback(context_, &Connection::subscriptionEvent, this);
    auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SERVER);
    if (!wait(pa_context_subscribe(context_, mask, nullptr, nullptr))) {
        dropContext();
        return nullptr;
    }
    if (onConnected) onConnected();
    return isReady() ? context_ : nullptr;
}

bool Connection::wait(pa_operation* op) { return waitUntil(op, PA_USEC_INVALID); }

bool Connection::waitUntil(pa_operation* op, pa_usec_t deadline) {
    if (op == nullptr) return false;
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* self) { static_cast<Connection*>(self)->signal(); }, this);
    // Wakes the wait below at the deadline, whatever the server does.
    pa_time_event* timer = nullptr;
    if (deadline != PA_USEC_INVALID && isReady()) {
        timer = pa_context_rttime_new(
            context_, deadline,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
                static_cast<Connection*>(self)->signal();
            },
            this);
    }
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!isReady() || (deadline != PA_USEC_INVALID && pa_rtclock_now() >= deadline)) {
            pa_operation_cancel(op);
            break;
        }
        pa_threaded_mainloop_wait(loop_);
    }
    if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_set_state_callback(op, nullptr, nullptr);
    pa_operation_unref(op);
    return done;
}

} // namespace velko::audio::pulse
