// A private sound server for one test: started by scripts/sound-server in
// a fresh directory, stopped (and the directory removed) when the object
// goes. Client programs run against it with env().
#pragma once

#include "test-support/child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace velko::e2e {

enum class ServerKind { pulseaudio, pipewire };

std::string kindName(ServerKind kind);

struct CommandResult {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// The full path of a program found on PATH ("" when there is none).
std::string findProgram(const std::string& name);

class SoundServer {
public:
    // Starts a server; `warm` keeps a low-latency reader on each monitor.
    // On failure returns nullptr and says why in `error`.
    static std::unique_ptr<SoundServer> start(ServerKind kind, bool warm, std::string& error);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    ServerKind kind() const { return kind_; }
    // "NAME=value" entries that point a client at this server.
    const std::vector<std::string>& env() const { return env_; }
    // Points this process's own libpulse clients at the server.
    void exportToThisProcess() const;

    // Runs a program (looked up on PATH) against the server to its end.
    CommandResult run(const std::vector<std::string>& argv) const;
    // `pactl` with these arguments; the test fails when pactl does.
    std::string pactl(const std::vector<std::string>& args) const;
    // Starts a long-running client (a recorder, a tone player).
    testing::ChildProcess spawn(const std::vector<std::string>& argv) const;
    // A shell pipeline against the server, for sox | pacat and the like.
    testing::ChildProcess spawnShell(const std::string& script) const;

    // The source outputs on the server as pactl describes them in JSON,
    // without the fixture's own readers.
    std::vector<nlohmann::json> sourceOutputs() const;
    // The loaded modules, one "index<TAB>name<TAB>arguments" line each.
    std::vector<std::string> modules() const;

    // Sends `signo` to the process that serves the clients (pulseaudio, or
    // pipewire-pulse): SIGSTOP freezes the server as a stuck one would be,
    // SIGCONT lets it go on.
    void signalServer(int signo) const;
    // PulseAudio only: the server dies (its clients lose their connection),
    // and later starts again as it was.
    void killServer() const;
    void reviveServer() const;

    void stop();

private:
    SoundServer() = default;
    ServerKind kind_ = ServerKind::pulseaudio;
    std::string dir_;
    std::vector<std::string> env_;
    bool stopped_ = false;
};

// Waits until `done()` holds, polling; returns done().
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

} // namespace velko::e2e
