// Linux backend of the dispatch layer: the main queue is a poll loop on the
// main thread woken by an eventfd; signal sources use signalfd, timer sources
// timerfd; each serial queue owns one thread. A waiting main thread sleeps in
// poll() and uses no CPU.
#include "platform/dispatch/dispatch.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velko::dispatch {
namespace {

// Signals that are delivered to the thread that caused them stay unblocked:
// blocking them would turn a fault into a hang.
sigset_t asyncSignals() {
    sigset_t set;
    sigfillset(&set);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGPIPE}) {
        sigdelset(&set, s);
    }
    return set;
}

void readCounter(int fd) {
    std::uint64_t value = 0;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

class LinuxSource;

// State of the main queue. It is process-wide because the main thread is;
// a forked child starts it afresh (see resetAfterFork).
struct MainLoop {
    std::mutex mutex;
    std::deque<Work> queue;
    int wakeFd = -1;
    std::vector<LinuxSource*> sources; // touched on the main thread only

    MainLoop() { open(); }

    void open() { wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

    void post(Work work) {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(work));
        }
        std::uint64_t one = 1;
        while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    // One turn: wait up to `timeoutMs` (-1: for ever) for a source or for
    // submitted work, then run what is ready.
    void turn(int timeoutMs);
};

MainLoop* g_main = nullptr;
std::once_flag g_mainOnce;

void resetAfterFork() {
    // The child has only the forking thread; whatever the parent queued or
    // watched belongs to the parent. The old state is retired, not reused:
    // its mutex may have been held by a thread that does not exist here.
    static std::vector<MainLoop*> retired;
    retired.push_back(g_main);
    g_main = new MainLoop();
}

MainLoop& mainLoop() {
    std::call_once(g_mainOnce, [] {
        g_main = new MainLoop();
        ::pthread_atfork(nullptr, nullptr, resetAfterFork);
    });
    return *g_main;
}

class LinuxSource : public Source {
public:
    enum class Kind { signal, read, timer };

    LinuxSource(Kind kind, int fd, bool ownsFd, std::chrono::nanoseconds interval = {})
        : kind_(kind), fd_(fd), ownsFd_(ownsFd), interval_(interval) {}

    ~LinuxSource() override {
        auto& sources = mainLoop().sources;
        sources.erase(std::remove(sources.begin(), sources.end(), this), sources.end());
        if (ownsFd_ && fd_ >= 0) ::close(fd_);
    }

    void setHandler(Work handler) override { handler_ = std::move(handler); }

    void resume() override {
        suspended_ = false;
        if (resumed_) return;
        resumed_ = true;
        if (kind_ == Kind::timer) arm();
        mainLoop().sources.push_back(this);
    }

    void suspend() override { suspended_ = true; }

    int fd() const { return fd_; }
    bool wantsPoll() const { return resumed_ && !suspended_ && !scheduled_ && !dead_; }

    // Called by the loop when poll() reports the descriptor. The handler
    // runs as a main-queue block, and the descriptor is not watched again
    // until it has run, as a dispatch source does.
    void fire(short revents) {
        if ((revents & POLLNVAL) != 0) {
            // Closed descriptor: it can never become readable again.
            dead_ = true;
        }
        scheduled_ = true;
        mainLoop().post([this] { deliver(); });
    }

private:
    void arm() {
        itimerspec spec{};
        spec.it_value.tv_nsec = 1; // "now"
        auto ns = interval_.count();
        spec.it_interval.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        spec.it_interval.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        (void)::timerfd_settime(fd_, 0, &spec, nullptr);
    }

    void deliver() {
        scheduled_ = false;
        if (kind_ == Kind::signal) {
            // Consume every queued arrival: they merge into this one run.
            signalfd_siginfo info{};
            while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
        } else if (kind_ == Kind::timer) {
            readCounter(fd_);
        }
        if (handler_ && !suspended_) handler_();
    }

    Kind kind_;
    int fd_;
    bool ownsFd_;
    bool resumed_ = false;
    bool suspended_ = false;
    bool scheduled_ = false;
    std::chrono::nanoseconds interval_;
    bool dead_ = false;
    Work handler_;
};

void MainLoop::turn(int timeoutMs) {
    bool haveWork = false;
    {
        std::lock_guard lock(mutex);
        haveWork = !queue.empty();
    }
    std::vector<pollfd> fds;
    std::vector<LinuxSource*> polled;
    fds.push_back({wakeFd, POLLIN, 0});
    for (auto* source : sources) {
        if (source->wantsPoll()) {
            fds.push_back({source->fd(), POLLIN, 0});
            polled.push_back(source);
        }
    }
    int n = ::poll(fds.data(), fds.size(), haveWork ? 0 : timeoutMs);
    if (n > 0) {
        if ((fds[0].revents & POLLIN) != 0) readCounter(wakeFd);
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents != 0) polled[i - 1]->fire(fds[i].revents);
        }
    }
    // Run the blocks that are queued now; blocks they submit wait for the
    // next turn, so sources get their say between batches.
    std::deque<Work> batch;
    {
        std::lock_guard lock(mutex);
        batch.swap(queue);
    }
    for (auto& work : batch) work();
}

class MainQueue final : public Queue {
public:
    void async(Work work) override { mainLoop().post(std::move(work)); }
    void sync(Work work) override {
        // Only meaningful off the main thread; the main thread runs it now.
        if (::gettid() == ::getpid()) {
            work();
            return;
        }
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        mainLoop().post([&] {
            work();
            std::lock_guard lock(m);
            done = true;
            cv.notify_one();
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
    }
    const std::string& label() const override { return label_; }
    void* native() const override { return nullptr; }

private:
    std::string label_ = "main";
};

class GlobalQueue final : public Queue {
public:
    void async(Work work) override {
        AsyncSignalsBlocked blocked;
        std::thread(std::move(work)).detach();
    }
    void sync(Work work) override { work(); }
    const std::string& label() const override { return label_; }
    void* native() const override { return nullptr; }

private:
    std::string label_ = "global.default";
};

class SerialQueue final : public Queue {
public:
    SerialQueue(std::string label, Qos qos) : label_(std::move(label)) {
        AsyncSignalsBlocked blocked;
        thread_ = std::thread([this, qos] { loop(qos); });
    }

    ~SerialQueue() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

    void async(Work work) override {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        cv_.notify_one();
    }

    bool runNowIfIdle(const Work& work) override {
        {
            std::lock_guard lock(mutex_);
            if (busy_ || !queue_.empty()) return false;
            busy_ = true;
        }
        work();
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
            wake = stopping_ || !queue_.empty();
        }
        // Blocks submitted meanwhile waited for this one; the thread takes
        // them up now. (An idle thread is left asleep.)
        if (wake) cv_.notify_one();
        return true;
    }

    void sync(Work work) override {
        std::mutex m;
        std::condition_variable done;
        bool finished = false;
        async([&] {
            work();
            std::lock_guard lock(m);
            finished = true;
            done.notify_one();
        });
        std::unique_lock lock(m);
        done.wait(lock, [&] { return finished; });
    }

    const std::string& label() const override { return label_; }
    void* native() const override { return nullptr; }

private:
    void loop(Qos qos) {
        // Thread names are limited to 15 bytes; keep the label's tail, which
        // is the distinctive part ("velko.recorder.io" -> "ecorder.io").
        std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
        ::pthread_setname_np(::pthread_self(), name.c_str());
        (void)qos; // Linux has no quality-of-service classes to map onto.
        for (;;) {
            Work work;
            {
                std::unique_lock lock(mutex_);
                // A block lent to another thread (runNowIfIdle) runs first.
                cv_.wait(lock, [&] { return !busy_ && (stopping_ || !queue_.empty()); });
                if (queue_.empty()) return;
                work = std::move(queue_.front());
                queue_.pop_front();
                busy_ = true;
            }
            work();
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
    }

    std::string label_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Work> queue_;
    bool busy_ = false; // a block of this queue is running, here or lent out
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace

Queue& Queue::main() {
    static auto* queue = new MainQueue();
    return *queue;
}

Queue& Queue::global() {
    static auto* queue = new GlobalQueue();
    return *queue;
}

std::unique_ptr<Queue> Queue::serial(const std::string& label, Qos qos) {
    return std::make_unique<SerialQueue>(label, qos);
}

std::unique_ptr<Source> makeSignalSource(int signo) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    // Held for the source from now on: blocked in the main thread (every
    // other thread of ours blocks it already), read through a signalfd.
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    return std::make_unique<LinuxSource>(LinuxSource::Kind::signal, fd, true);
}

std::unique_ptr<Source> makeReadSource(int fd) {
    return std::make_unique<LinuxSource>(LinuxSource::Kind::read, fd, false);
}

std::unique_ptr<Source> makeTimerSource(std::chrono::nanoseconds interval) {
    int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    return std::make_unique<LinuxSource>(LinuxSource::Kind::timer, fd, true,
                                         std::max(interval, std::chrono::nanoseconds(1)));
}

void runMain() {
    auto& loop = mainLoop();
    for (;;) loop.turn(-1);
}

void runMainRunLoop() { runMain(); }

bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto& loop = mainLoop();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return done();
        loop.turn(static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    return true;
}

AsyncSignalsBlocked::AsyncSignalsBlocked() {
    sigset_t set = asyncSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

} // namespace velko::dispatch
