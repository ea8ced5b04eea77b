#include "platform/audio/pulse_processes.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>

namespace velko::audio::pulse {
namespace {

const std::string* property(const SourceOutputRecord& stream, const char* name) {
    auto it = stream.properties.find(name);
    return it == stream.properties.end() ? nullptr : &it->second;
}

bool propertyIs(const SourceOutputRecord& stream, const char* name, const char* value) {
    const auto* text = property(stream, name);
    return text != nullptr && *text == value;
}

// Where a process's bundle identifier comes from, best first.
constexpr const char* kBundleSources[] = {"application.id", "application.process.binary", "application.name"};
constexpr std::size_t kNoBundleSource = std::size(kBundleSources);

} // namespace

bool isLevelMeter(const SourceOutputRecord& stream) {
    // A peak-detect stream is marked differently by each server, and its
    // flag is never shown to other clients:
    // - PulseAudio resamples it with the "peaks" method whenever its rate
    //   differs from the source's, which volume controls always ask for;
    // - PipeWire's pulse server marks its node "resample.peaks" and
    //   "stream.monitor";
    // - the volume controls name the stream "Peak detect", which is all that
    //   shows when the rates happen to match on PulseAudio.
    return stream.resampleMethod == "peaks" || propertyIs(stream, "resample.peaks", "true") ||
           propertyIs(stream, "stream.monitor", "true") || propertyIs(stream, "media.name", "Peak detect");
}

std::optional<std::int32_t> parseProcessId(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value <= 0) return std::nullopt;
    return value;
}

std::optional<std::string> processCommandName(std::int32_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.empty()) return std::nullopt;
    return name;
}

std::vector<ProcessRecord> groupByProcess(std::vector<SourceOutputRecord> streams,
                                          const std::function<std::optional<std::string>(std::int32_t)>& commandName) {
    // Indices are unique, so any sort gives the one order.
    std::sort(streams.begin(), streams.end(),
              [](const SourceOutputRecord& a, const SourceOutputRecord& b) { return a.index < b.index; });
    std::vector<ProcessRecord> processes;
    std::vector<std::size_t> bundleRanks; // of each process's bundle identifier
    std::map<std::string, std::size_t> byKey;
    for (const auto& stream : streams) {
        if (isLevelMeter(stream)) continue;
        std::optional<std::int32_t> pid;
        if (const auto* text = property(stream, "application.process.id")) pid = parseProcessId(*text);
        // A process is its pid; a stream whose client declared none is its
        // client's, and one without a client (a server module's) its own.
        std::string key = pid                         ? "pid:" + std::to_string(*pid)
                          : stream.client != kNoIndex ? "client:" + std::to_string(stream.client)
                                                      : "stream:" + std::to_string(stream.index);
        auto [it, added] = byKey.emplace(key, processes.size());
        if (added) {
            processes.push_back(ProcessRecord{key, std::nullopt, false, pid, {}});
            bundleRanks.push_back(kNoBundleSource);
        }
        auto& process = processes[it->second];
        // The best source any of its streams has; among equals, the oldest.
        for (std::size_t rank = 0; rank < bundleRanks[it->second]; ++rank) {
            const auto* text = property(stream, kBundleSources[rank]);
            if (text != nullptr && !text->empty()) {
                process.bundleId = *text;
                bundleRanks[it->second] = rank;
                break;
            }
        }
        if (!stream.corked) process.runningInput = true;
        if (stream.source != kNoIndex &&
            std::find(process.sources.begin(), process.sources.end(), stream.source) == process.sources.end()) {
            process.sources.push_back(stream.source);
        }
    }
    for (std::size_t i = 0; i < processes.size(); ++i) {
        if (bundleRanks[i] == kNoBundleSource && processes[i].pid)
            processes[i].bundleId = commandName(*processes[i].pid);
    }
    return processes;
}

} // namespace velko::audio::pulse
