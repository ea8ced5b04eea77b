#include "platform/dispatch/dispatch.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace velko::dispatch;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsBlocksOneAtATimeInSubmissionOrder) {
    auto queue = Queue::serial("velko.test.serial", Qos::userInitiated);
    EXPECT_EQ(queue->label(), "velko.test.serial");
    std::vector<int> order; // touched only on the queue
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 1000; ++i) {
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    std::vector<int> seen;
    queue->sync([&] { seen = order; });
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncIsADrainOfEverythingSubmittedBefore) {
    auto queue = Queue::serial("velko.test.drain", Qos::unspecified);
    std::atomic<int> done{0};
    for (int i = 0; i < 50; ++i) {
        queue->async([&] {
            std::this_thread::sleep_for(1ms);
            done.fetch_add(1);
        });
    }
    queue->sync([] {});
    EXPECT_EQ(done.load(), 50);
}

TEST(SerialQueue, RunNowIfIdleLendsTheQueueWithoutEverWaiting) {
    auto queue = Queue::serial("velko.test.lend", Qos::userInitiated);
    // Idle: the block runs here, at once.
    auto here = std::this_thread::get_id();
    std::thread::id ranOn;
    EXPECT_TRUE(queue->runNowIfIdle([&] { ranOn = std::this_thread::get_id(); }));
    EXPECT_EQ(ranOn, here);

    // Busy with a block of its own: refused, and the block is not run.
    std::mutex gate;
    std::unique_lock held(gate);
    std::atomic<bool> started{false};
    queue->async([&] {
        started = true;
        std::lock_guard wait(gate);
    });
    while (!started) std::this_thread::yield();
    bool ran = false;
    EXPECT_FALSE(queue->runNowIfIdle([&] { ran = true; }));
    EXPECT_FALSE(ran);
    held.unlock();
    queue->sync([] {});
}

TEST(SerialQueue, BlocksSubmittedWhileLentOutRunAfterTheLentBlockInOrder) {
    auto queue = Queue::serial("velko.test.lent", Qos::userInitiated);
    std::vector<int> order; // touched only as the queue's blocks
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    auto step = [&](int i) {
        if (running.fetch_add(1) != 0) overlapped = true;
        order.push_back(i);
        running.fetch_sub(1);
    };
    // Another thread keeps lending the queue to itself while this one
    // submits: the blocks never overlap and each lent block runs whole.
    std::atomic<bool> stop{false};
    std::atomic<int> lent{0};
    std::thread lender([&] {
        while (!stop) {
            if (queue->runNowIfIdle([&] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    std::this_thread::sleep_for(50us);
                    running.fetch_sub(1);
                })) {
                lent.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 2000; ++i) queue->async([&, i] { step(i); });
    std::vector<int> seen;
    queue->sync([&] { seen = order; });
    while (lent.load() == 0) std::this_thread::yield(); // idle now: it gets its turn
    stop = true;
    lender.join();
    ASSERT_EQ(seen.size(), 2000u);
    for (int i = 0; i < 2000; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, ThreadsStartWithAsyncSignalsBlocked) {
    auto queue = Queue::serial("velko.test.mask", Qos::unspecified);
    sigset_t seen;
    sigemptyset(&seen);
    queue->sync([&] { pthread_sigmask(SIG_SETMASK, nullptr, &seen); });
    for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGUSR1, SIGHUP}) EXPECT_TRUE(sigismember(&seen, s)) << s;
    EXPECT_FALSE(sigismember(&seen, SIGPIPE)); // synchronous: stays with its writer
    EXPECT_FALSE(sigismember(&seen, SIGSEGV));
    // The caller's own mask is unchanged.
    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_FALSE(sigismember(&mine, SIGCHLD));
}

TEST(MainQueue, BlocksFromOtherThreadsRunOnTheMainThreadInOrder) {
    auto mainThread = std::this_thread::get_id();
    std::vector<int> order;
    bool allOnMain = true;
    auto queue = Queue::serial("velko.test.feeder", Qos::unspecified);
    for (int i = 0; i < 100; ++i) {
        queue->async([&, i] {
            Queue::main().async([&, i] {
                allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
                order.push_back(i);
            });
        });
    }
    ASSERT_TRUE(runMainUntil([&] { return order.size() == 100; }, 5s));
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(GlobalQueue, RunsWorkOffTheMainThread) {
    std::atomic<bool> offMain{false};
    std::atomic<bool> ran{false};
    auto mainThread = std::this_thread::get_id();
    Queue::global().async([&] {
        offMain = std::this_thread::get_id() != mainThread;
        Queue::main().async([&] { ran = true; });
    });
    ASSERT_TRUE(runMainUntil([&] { return ran.load(); }, 5s));
    EXPECT_TRUE(offMain);
}

TEST(SignalSource, DeliversOnTheMainQueueAndMergesArrivals) {
    auto source = makeSignalSource(SIGUSR1);
    int runs = 0;
    auto mainThread = std::this_thread::get_id();
    bool onMain = false;
    source->setHandler([&] {
        ++runs;
        onMain = std::this_thread::get_id() == mainThread;
    });
    // Arrivals before resume are held, and several merge into one run.
    ::kill(::getpid(), SIGUSR1);
    ::kill(::getpid(), SIGUSR1);
    ::kill(::getpid(), SIGUSR1);
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return runs > 0; }, 5s));
    runMainUntil([] { return false; }, 100ms);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(onMain);
    // A later signal runs the handler again; the process is not ended.
    ::kill(::getpid(), SIGUSR1);
    ASSERT_TRUE(runMainUntil([&] { return runs == 2; }, 5s));
}

TEST(SignalSource, SignalsFromAnotherThreadReachTheSource) {
    auto source = makeSignalSource(SIGUSR2);
    std::atomic<int> runs{0};
    source->setHandler([&] { runs.fetch_add(1); });
    source->resume();
    auto queue = Queue::serial("velko.test.signaller", Qos::unspecified);
    queue->async([] { ::kill(::getpid(), SIGUSR2); });
    ASSERT_TRUE(runMainUntil([&] { return runs.load() == 1; }, 5s));
}

TEST(TimerSource, FirstTickAtOnceThenAtTheInterval) {
    auto timer = makeTimerSource(40ms);
    std::vector<std::chrono::steady_clock::time_point> ticks;
    timer->setHandler([&] { ticks.push_back(std::chrono::steady_clock::now()); });
    auto start = std::chrono::steady_clock::now();
    timer->resume();
    ASSERT_TRUE(runMainUntil([&] { return ticks.size() >= 4; }, 5s));
    // The first tick does not wait an interval; the later ones do.
    EXPECT_LT(ticks[0] - start, 30ms);
    for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(ticks[i] - ticks[i - 1], 30ms);
}

TEST(ReadSource, FiresWhileDataOrEndOfFileIsPending) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto source = makeReadSource(fds[0]);
    std::string got;
    bool eof = false;
    int calls = 0;
    source->setHandler([&] {
        ++calls;
        char c;
        ssize_t n = ::read(fds[0], &c, 1); // one byte per run: the source keeps firing
        if (n == 1) got.push_back(c);
        if (n == 0) eof = true;
    });
    source->resume();
    ASSERT_EQ(::write(fds[1], "hello", 5), 5);
    ASSERT_TRUE(runMainUntil([&] { return got == "hello"; }, 5s));
    // Nothing pending: the handler is not run.
    int before = calls;
    runMainUntil([] { return false; }, 100ms);
    EXPECT_EQ(calls, before);
    ::close(fds[1]);
    ASSERT_TRUE(runMainUntil([&] { return eof; }, 5s));
    source.reset(); // stop watching before the descriptor goes away
    ::close(fds[0]);
}

TEST(ReadSource, ASuspendedSourceHoldsDeliveryUntilResumed) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto source = makeReadSource(fds[0]);
    std::string got;
    source->setHandler([&] {
        char c;
        if (::read(fds[0], &c, 1) == 1) got.push_back(c);
        source->suspend(); // from inside its own handler, as the stdin watch does
    });
    source->resume();
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    ASSERT_TRUE(runMainUntil([&] { return !got.empty(); }, 5s));
    // A byte is still pending, but nothing reads it while suspended.
    runMainUntil([] { return false; }, 100ms);
    EXPECT_EQ(got, "a");
    source->resume();
    ASSERT_TRUE(runMainUntil([&] { return got == "ab"; }, 5s));
    source.reset();
    ::close(fds[0]);
    ::close(fds[1]);
}
