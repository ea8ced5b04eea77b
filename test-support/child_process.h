// Runs a whole program in a child process with pipes on descriptors 0, 1 and
// 2, so a test can feed or close its standard input, send it signals, and
// check its exit status and every byte it wrote.
#pragma once

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velko::testing {

using namespace std::chrono_literals;

struct ExitResult {
    bool exited = false; // ended through exit; `status` is valid
    int status = -1;
    bool signaled = false; // ended by a signal; `signal` is valid
    int signal = 0;
    bool timedOut = false; // still running at the deadline, then killed
};

class ChildProcess {
public:
    // Executes `argv[0]` with the given arguments; `extraEnv` entries
    // ("NAME=value") are added to the inherited environment, replacing
    // inherited entries of the same name.
    static ChildProcess spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});

    // Runs `body` in a forked child; its return value becomes the exit
    // status (a body that ends the process itself never returns).
    static ChildProcess fork(const std::function<int()>& body);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess(); // kills and reaps a child that is still running

    pid_t pid() const { return pid_; }

    void writeStdin(std::string_view bytes);
    void closeStdin();
    // Closes our end of the child's standard output: its next write there
    // meets a pipe without a reader.
    void closeStdout();
    void sendSignal(int signo);

    // Reads whatever both streams deliver until `done()` holds or the
    // timeout passes; returns done(). With `readStdout` false the child's
    // standard output is left unread (a stalled reader).
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s, bool readStdout = true);
    // Convenience: waits until standard error (or output) holds `n` lines.
    bool waitForErrLines(std::size_t n, std::chrono::milliseconds timeout = 10s);
    bool waitForOutLines(std::size_t n, std::chrono::milliseconds timeout = 10s);

    // Reads both streams to their end and reaps the child. A child still
    // running at the deadline is killed with SIGKILL and marked timedOut.
    ExitResult wait(std::chrono::milliseconds timeout = 10s);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    // The complete lines of a stream, each parsed as JSON. A line that does
    // not parse is returned as a JSON string holding the raw text, so that a
    // test's comparison fails visibly.
    static std::vector<nlohmann::json> jsonLines(const std::string& text);
    std::vector<nlohmann::json> outEvents() const { return jsonLines(out_); }
    std::vector<nlohmann::json> errEvents() const { return jsonLines(err_); }

    struct Pipes;

private:
    ChildProcess() = default;
    // The parent's side of a fork: keeps its pipe ends, closes the child's.
    void adopt(const Pipes& pipes);
    void pump(int timeoutMs, bool readStdout);
    bool reap(bool block);

    pid_t pid_ = -1;
    int in_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    bool reaped_ = false;
    ExitResult result_;
};

// User plus system CPU time that a live process has used so far, from /proc.
double cpuSeconds(pid_t pid);

} // namespace velko::testing
