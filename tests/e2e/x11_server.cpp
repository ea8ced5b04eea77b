#include "tests/e2e/x11_server.h"

#include "tests/e2e/sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <X11/Xlib.h>

namespace velko::e2e {
namespace {

// The descriptor on which Xvfb writes its display number.
constexpr int displayFd = 3;

// Reads the display number that Xvfb writes once it accepts clients.
std::string readDisplayNumber(int fd, std::chrono::milliseconds timeout) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[32];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return ""; // Xvfb ended before it was ready
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text.substr(0, text.find('\n'));
}

} // namespace

namespace {

// The process environment with `extra` ("NAME=value") added, replacing
// entries of the same names.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const auto& added : extra) replaced = replaced || nameOf(added) == nameOf(*e);
        if (!replaced) entries.emplace_back(*e);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

std::unique_ptr<XServer> XServer::start(std::string& error, XServerKind kind) {
    const char* program = kind == XServerKind::xvfb ? "Xvfb" : "Xwayland";
    std::string binary = findProgram(program);
    if (binary.empty()) {
        error = std::string(program) + " is not installed";
        return nullptr;
    }
    char pattern[] = "/tmp/velko-x11.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "mkdtemp failed";
        return nullptr;
    }
    std::unique_ptr<XServer> server(new XServer());
    server->home_ = pattern;
    const std::string& home = server->home_;

    std::vector<std::string> argv{binary, "-displayfd", std::to_string(displayFd)};
    std::vector<std::string> serverEnv;
    if (kind == XServerKind::xvfb) {
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        // -noreset: the server keeps its state when its last client goes,
        // as a desktop's server does between programs.
        argv.insert(argv.end(), {"-screen", "0", screen, "-nolisten", "tcp", "-noreset"});
    } else if (!server->startCompositor(error)) {
        return nullptr;
    } else {
        serverEnv = {"XDG_RUNTIME_DIR=" + home + "/runtime", "WAYLAND_DISPLAY=wayland-velko"};
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 leaves the copy open across exec.
    posix_spawn_file_actions_adddup2(&actions, fds[1], displayFd);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::string log = home + "/server.log";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    auto args = pointers(argv);
    auto envStore = environmentWith(serverEnv);
    auto env = pointers(envStore);
    int spawned = ::posix_spawn(&server->pid_, binary.c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        server->pid_ = -1;
        error = "could not start " + std::string(program);
        return nullptr;
    }
    std::string number = readDisplayNumber(fds[0], std::chrono::seconds(20));
    ::close(fds[0]);
    if (number.empty()) {
        error = std::string(program) + " did not come up (see " + log + ")";
        return nullptr;
    }
    server->name_ = ":" + number;
    std::filesystem::create_directories(home + "/config");
    std::filesystem::create_directories(home + "/cache");
    std::filesystem::create_directories(home + "/session");
    std::filesystem::permissions(home + "/session", std::filesystem::perms::owner_all);
    // Nothing of the session the tests run in reaches the desktop programs:
    // their runtime folder (where single-instance programs keep their
    // sockets) is private, toolkits stay on X11, and the session bus is one
    // that is not there, so a program that asks for it is refused at once.
    server->env_ = {"DISPLAY=" + server->name_,
                    "HOME=" + home,
                    "XDG_CONFIG_HOME=" + home + "/config",
                    "XDG_CACHE_HOME=" + home + "/cache",
                    "XDG_DATA_HOME=" + home + "/data",
                    "XDG_RUNTIME_DIR=" + home + "/session",
                    "GDK_BACKEND=x11",
                    "WAYLAND_DISPLAY=",
                    "NO_AT_BRIDGE=1",
                    "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home + "/session/no-bus"};
    server->display_ = XOpenDisplay(server->name_.c_str());
    if (server->display_ == nullptr) {
        error = "could not connect to " + std::string(program) + " on " + server->name_;
        return nullptr;
    }
    return server;
}

bool XServer::startCompositor(std::string& error) {
    // A headless Wayland compositor whose shell starts no helper clients.
    std::string runtime = home_ + "/runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    std::string config = home_ + "/weston.ini";
    std::ofstream(config) << "[input-method]\npath=\n";
    std::string weston = findProgram("weston");
    if (weston.empty()) {
        error = "weston is not installed";
        return false;
    }
    compositor_ = std::make_unique<testing::ChildProcess>(testing::ChildProcess::spawn(
        {weston, "--config=" + config, "--backend=headless-backend.so", "--shell=kiosk-shell.so",
         "--socket=wayland-velko", "--log=" + home_ + "/weston.log"},
        {"XDG_RUNTIME_DIR=" + runtime}));
    if (!eventually([&] { return std::filesystem::exists(runtime + "/wayland-velko"); }, std::chrono::seconds(20))) {
        error = "weston did not come up (see " + home_ + "/weston.log)";
        return false;
    }
    return true;
}

XServer::~XServer() {
    if (display_ != nullptr && pid_ > 0) XCloseDisplay(display_);
    display_ = nullptr;
    stop(SIGTERM);
    if (compositor_) {
        compositor_->sendSignal(SIGTERM);
        compositor_->wait(std::chrono::seconds(5));
    }
    std::error_code ignored;
    if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
}

void XServer::stop(int signo) {
    if (pid_ <= 0) return;
    ::kill(pid_, signo);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (signo == SIGKILL && !name_.empty()) {
        // A killed server leaves its lock and socket behind.
        std::string number = name_.substr(1);
        ::unlink(("/tmp/.X" + number + "-lock").c_str());
        ::unlink(("/tmp/.X11-unix/X" + number).c_str());
    }
}

void XServer::kill() {
    // Our own connection goes first: Xlib ends a process whose connection
    // breaks under it.
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
    stop(SIGKILL);
}

testing::ChildProcess XServer::spawn(const std::vector<std::string>& argv) const {
    std::vector<std::string> resolved = argv;
    resolved[0] = findProgram(argv[0]);
    return testing::ChildProcess::spawn(resolved, env_);
}

bool XServer::xdotool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = spawn(argv);
    child.closeStdin();
    auto result = child.wait(std::chrono::seconds(10));
    return result.exited && result.status == 0;
}

} // namespace velko::e2e
