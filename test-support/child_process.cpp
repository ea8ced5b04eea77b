#include "test-support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace velko::testing {

struct ChildProcess::Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

namespace {
using Pipes = ChildProcess::Pipes;

Pipes makePipes() {
    Pipes p;
    if (::pipe2(p.in, O_CLOEXEC) != 0 || ::pipe2(p.out, O_CLOEXEC) != 0 || ::pipe2(p.err, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    return p;
}

// In the child: wire the pipes to 0, 1 and 2 and give it a clean signal
// state (a test runner may have blocked or ignored signals).
void becomeChild(const Pipes& p) {
    ::dup2(p.in[0], 0);
    ::dup2(p.out[1], 1);
    ::dup2(p.err[1], 2);
    for (int fd : {p.in[0], p.in[1], p.out[0], p.out[1], p.err[0], p.err[1]}) ::close(fd);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT}) (void)::signal(s, SIG_DFL);
}

} // namespace

void ChildProcess::adopt(const Pipes& p) {
    ::close(p.in[0]);
    ::close(p.out[1]);
    ::close(p.err[1]);
    in_ = p.in[1];
    outFd_ = p.out[0];
    errFd_ = p.err[0];
}

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // An added entry replaces an inherited one of the same name.
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(),
                                    [&](const std::string& added) { return nameOf(added) == nameOf(*e); });
        if (!replaced) envStore.emplace_back(*e);
    }
    for (const auto& e : extraEnv) envStore.push_back(e);
    std::vector<char*> env;
    env.reserve(envStore.size() + 1);
    for (auto& e : envStore) env.push_back(e.data());
    env.push_back(nullptr);

    Pipes p = makePipes();
    ChildProcess child;
    child.pid_ = ::fork();
    if (child.pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child.pid_ == 0) {
        becomeChild(p);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    child.adopt(p);
    return child;
}

ChildProcess ChildProcess::fork(const std::function<int()>& body) {
    Pipes p = makePipes();
    ChildProcess child;
    child.pid_ = ::fork();
    if (child.pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child.pid_ == 0) {
        becomeChild(p);
        int status = body();
        ::_exit(status);
    }
    child.adopt(p);
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), in_(other.in_), outFd_(other.outFd_), errFd_(other.errFd_), out_(std::move(other.out_)),
      err_(std::move(other.err_)), reaped_(other.reaped_), result_(other.result_) {
    other.pid_ = -1;
    other.in_ = other.outFd_ = other.errFd_ = -1;
    other.reaped_ = true;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    for (int fd : {in_, outFd_, errFd_}) {
        if (fd >= 0) ::close(fd);
    }
}

void ChildProcess::writeStdin(std::string_view bytes) {
    // The child may have exited; a write then must fail, not kill the test.
    struct sigaction ignore{}, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    while (!bytes.empty() && in_ >= 0) {
        ssize_t n = ::write(in_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    ::sigaction(SIGPIPE, &old, nullptr);
}

void ChildProcess::closeStdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void ChildProcess::closeStdout() {
    if (outFd_ >= 0) ::close(outFd_);
    outFd_ = -1;
}

void ChildProcess::sendSignal(int signo) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signo);
}

void ChildProcess::pump(int timeoutMs, bool readStdout) {
    pollfd fds[2];
    nfds_t n = 0;
    int* owners[2];
    std::string* sinks[2];
    if (readStdout && outFd_ >= 0) {
        fds[n] = {outFd_, POLLIN, 0};
        owners[n] = &outFd_;
        sinks[n++] = &out_;
    }
    if (errFd_ >= 0) {
        fds[n] = {errFd_, POLLIN, 0};
        owners[n] = &errFd_;
        sinks[n++] = &err_;
    }
    if (n == 0) {
        if (timeoutMs > 0) ::poll(nullptr, 0, std::min(timeoutMs, 10));
        return;
    }
    if (::poll(fds, n, timeoutMs) <= 0) return;
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].revents == 0) continue;
        char buffer[65536];
        ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
            sinks[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            ::close(*owners[i]);
            *owners[i] = -1;
        }
    }
}

bool ChildProcess::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout, bool readStdout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return done();
        bool streamsOpen = (readStdout && outFd_ >= 0) || errFd_ >= 0;
        if (!streamsOpen && reap(false)) return done();
        pump(static_cast<int>(std::min<long long>(left.count(), 20)), readStdout);
    }
    return true;
}

static std::size_t countLines(const std::string& s) {
    std::size_t n = 0;
    for (char c : s) n += c == '\n' ? 1 : 0;
    return n;
}

bool ChildProcess::waitForErrLines(std::size_t n, std::chrono::milliseconds timeout) {
    return waitFor([&] { return countLines(err_) >= n; }, timeout);
}

bool ChildProcess::waitForOutLines(std::size_t n, std::chrono::milliseconds timeout) {
    return waitFor([&] { return countLines(out_) >= n; }, timeout);
}

bool ChildProcess::reap(bool block) {
    if (reaped_) return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    reaped_ = true;
    if (WIFEXITED(status)) {
        result_.exited = true;
        result_.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signaled = true;
        result_.signal = WTERMSIG(status);
    }
    return true;
}

ExitResult ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    // Streams first: the child may be blocked writing to one of them. A
    // grandchild that inherited a stream may keep it open after the child
    // has gone, so an exited child only waits briefly for the end of file.
    while (outFd_ >= 0 || errFd_ >= 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            timedOut = true;
            break;
        }
        pump(20, true);
        if (reap(false)) {
            pump(50, true);
            pump(0, true);
            break;
        }
    }
    if (!reap(false)) {
        while (!timedOut && std::chrono::steady_clock::now() < deadline) {
            if (reap(false)) break;
            ::poll(nullptr, 0, 5);
        }
        if (!reaped_) {
            timedOut = true;
            ::kill(pid_, SIGKILL);
            reap(true);
        }
    }
    result_.timedOut = timedOut;
    return result_;
}

std::vector<nlohmann::json> ChildProcess::jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = text.substr(start, nl - start);
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        lines.push_back(parsed.is_discarded() ? nlohmann::json(line) : parsed);
    }
    return lines;
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends at the last ')': state is
    // field 3, utime and stime are fields 14 and 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace velko::testing
