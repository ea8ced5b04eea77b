#include "tests/e2e/sound_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace velko::e2e {

std::string kindName(ServerKind kind) { return kind == ServerKind::pulseaudio ? "pulseaudio" : "pipewire"; }

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

namespace {

CommandResult runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::vector<std::string> resolved = argv;
    resolved[0] = findProgram(argv[0]);
    CommandResult result;
    if (resolved[0].empty()) {
        result.err = argv[0] + ": not found";
        return result;
    }
    auto child = testing::ChildProcess::spawn(resolved, env);
    child.closeStdin();
    auto exit = child.wait(std::chrono::seconds(30));
    result.status = exit.exited ? exit.status : -1;
    result.out = child.out();
    result.err = child.err();
    return result;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty()) result.push_back(line);
    }
    return result;
}

} // namespace

std::unique_ptr<SoundServer> SoundServer::start(ServerKind kind, bool warm, std::string& error) {
    // Clients must find this server only, whatever the test runner's
    // environment says: what the server's environment leaves unset must not
    // come from the runner's.
    for (const char* name : {"PULSE_SERVER", "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_RUNTIME_PATH"}) {
        ::unsetenv(name);
    }
    char pattern[] = "/tmp/velko-sound.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "mkdtemp failed";
        return nullptr;
    }
    std::unique_ptr<SoundServer> server(new SoundServer());
    server->kind_ = kind;
    server->dir_ = pattern;
    std::vector<std::string> argv{VELKO_SOUND_SERVER_SCRIPT, "start", kindName(kind), server->dir_, "--owner",
                                  std::to_string(::getpid())};
    if (warm) argv.push_back("--warm");
    auto result = runToEnd(argv, {});
    if (result.status != 0) {
        error = "sound-server start " + kindName(kind) + " failed: " + result.err;
        server->stopped_ = true;
        runToEnd({VELKO_SOUND_SERVER_SCRIPT, "stop", server->dir_}, {});
        return nullptr;
    }
    server->env_ = lines(result.out);
    if (warm) {
        // Let the readers settle the monitors' block size before anything
        // that listens to them starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return server;
}

SoundServer::~SoundServer() { stop(); }

void SoundServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    runToEnd({VELKO_SOUND_SERVER_SCRIPT, "stop", dir_}, {});
}

void SoundServer::signalServer(int signo) const {
    std::ifstream file(dir_ + "/" + (kind_ == ServerKind::pulseaudio ? "pulseaudio" : "pipewire-pulse") + ".pid");
    pid_t pid = 0;
    ASSERT_TRUE(file >> pid) << "no pid of the server in " << dir_;
    ASSERT_EQ(::kill(pid, signo), 0);
}

void SoundServer::killServer() const {
    auto result = runToEnd({VELKO_SOUND_SERVER_SCRIPT, "kill-server", dir_}, {});
    EXPECT_EQ(result.status, 0) << result.err;
}

void SoundServer::reviveServer() const {
    auto result = runToEnd({VELKO_SOUND_SERVER_SCRIPT, "revive-server", dir_}, {});
    EXPECT_EQ(result.status, 0) << result.err;
}

void SoundServer::exportToThisProcess() const {
    for (const auto& entry : env_) {
        auto eq = entry.find('=');
        ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
}

CommandResult SoundServer::run(const std::vector<std::string>& argv) const { return runToEnd(argv, env_); }

std::string SoundServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = run(argv);
    EXPECT_EQ(result.status, 0) << "pactl failed: " << result.err;
    return result.out;
}

testing::ChildProcess SoundServer::spawn(const std::vector<std::string>& argv) const {
    auto resolved = argv;
    resolved[0] = findProgram(argv[0]);
    return testing::ChildProcess::spawn(resolved, env_);
}

testing::ChildProcess SoundServer::spawnShell(const std::string& script) const {
    return testing::ChildProcess::spawn({"/bin/sh", "-c", script}, env_);
}

std::vector<nlohmann::json> SoundServer::sourceOutputs() const {
    auto list = nlohmann::json::parse(pactl({"--format=json", "list", "source-outputs"}), nullptr, false);
    std::vector<nlohmann::json> result;
    if (!list.is_array()) {
        ADD_FAILURE() << "pactl gave no JSON list of source outputs";
        return result;
    }
    for (const auto& stream : list) {
        if (stream.value(nlohmann::json::json_pointer("/properties/application.name"), std::string()) !=
            "velko-fixture-warmup") {
            result.push_back(stream);
        }
    }
    return result;
}

std::vector<std::string> SoundServer::modules() const { return lines(pactl({"list", "short", "modules"})); }

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace velko::e2e
