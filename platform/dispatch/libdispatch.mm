// macOS backend of the dispatch layer: libdispatch itself. Blocks copy the
// std::function they run; the native queue is handed out for CoreAudio.
#include "platform/dispatch/dispatch.h"

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <pthread.h>

#include <utility>

namespace velko::dispatch {
namespace {

sigset_t asyncSignals() {
    sigset_t set;
    sigfillset(&set);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGPIPE}) {
        sigdelset(&set, s);
    }
    return set;
}

class NativeQueue final : public Queue {
public:
    NativeQueue(dispatch_queue_t queue, std::string label, bool owned)
        : queue_(queue), label_(std::move(label)), owned_(owned) {}

    ~NativeQueue() override {
        if (owned_) dispatch_release(queue_);
    }

    void async(Work work) override {
        auto* heap = new Work(std::move(work));
        dispatch_async_f(queue_, heap, [](void* context) {
            auto* w = static_cast<Work*>(context);
            (*w)();
            delete w;
        });
    }

    void sync(Work work) override {
        dispatch_sync_f(queue_, &work, [](void* context) { (*static_cast<Work*>(context))(); });
    }

    const std::string& label() const override { return label_; }
    void* native() const override { return (__bridge void*)queue_; }

private:
    dispatch_queue_t queue_;
    std::string label_;
    bool owned_;
};

class NativeSource final : public Source {
public:
    explicit NativeSource(dispatch_source_t source) : source_(source) {}

    void setHandler(Work handler) override {
        handler_ = std::move(handler);
        dispatch_set_context(source_, this);
        dispatch_source_set_event_handler_f(source_, [](void* context) {
            auto* self = static_cast<NativeSource*>(context);
            if (self->handler_) self->handler_();
        });
    }

    void resume() override {
        // Suspensions nest in libdispatch; ours do not, so only the one we
        // made is undone.
        if (resumed_ && !suspended_) return;
        resumed_ = true;
        suspended_ = false;
        dispatch_resume(source_);
    }

    void suspend() override {
        if (!resumed_ || suspended_) return;
        suspended_ = true;
        dispatch_suspend(source_);
    }

private:
    dispatch_source_t source_;
    Work handler_;
    bool resumed_ = false;
    bool suspended_ = false;
};

} // namespace

Queue& Queue::main() {
    static auto* queue = new NativeQueue(dispatch_get_main_queue(), "main", false);
    return *queue;
}

Queue& Queue::global() {
    static auto* queue = new NativeQueue(dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0), "global.default", false);
    return *queue;
}

std::unique_ptr<Queue> Queue::serial(const std::string& label, Qos qos) {
    dispatch_queue_attr_t attr = DISPATCH_QUEUE_SERIAL;
    if (qos == Qos::userInitiated) {
        attr = dispatch_queue_attr_make_with_qos_class(attr, QOS_CLASS_USER_INITIATED, 0);
    } else if (qos == Qos::defaultQos) {
        attr = dispatch_queue_attr_make_with_qos_class(attr, QOS_CLASS_DEFAULT, 0);
    }
    dispatch_queue_t queue = dispatch_queue_create(label.c_str(), attr);
    return std::make_unique<NativeQueue>(queue, label, true);
}

std::unique_ptr<Source> makeSignalSource(int signo) {
    return std::make_unique<NativeSource>(dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo), 0, dispatch_get_main_queue()));
}

std::unique_ptr<Source> makeReadSource(int fd) {
    return std::make_unique<NativeSource>(
        dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, static_cast<uintptr_t>(fd), 0, dispatch_get_main_queue()));
}

std::unique_ptr<Source> makeTimerSource(std::chrono::nanoseconds interval) {
    dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
    dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, 0), static_cast<uint64_t>(interval.count()), 0);
    return std::make_unique<NativeSource>(timer);
}

void runMain() { dispatch_main(); }

void runMainRunLoop() {
    @autoreleasepool {
        [[NSRunLoop mainRunLoop] run];
    }
}

bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    CFAbsoluteTime deadline = CFAbsoluteTimeGetCurrent() + static_cast<double>(timeout.count()) / 1000.0;
    while (!done()) {
        if (CFAbsoluteTimeGetCurrent() >= deadline) return done();
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

AsyncSignalsBlocked::AsyncSignalsBlocked() {
    sigset_t set = asyncSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

} // namespace velko::dispatch
