// How the recording streams of a pulse server (its source outputs) become the
// process objects of the audio contract: which streams count as microphone
// use, how they group by process, and what each process reports. Pure
// functions over plain records, so they are tested without a server.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velko::audio::pulse {

inline constexpr std::uint32_t kNoIndex = 0xffffffffu; // PA_INVALID_INDEX

// What the server tells about one source output.
struct SourceOutputRecord {
    std::uint32_t index = kNoIndex;
    std::uint32_t client = kNoIndex;
    std::uint32_t source = kNoIndex;
    bool corked = false;
    std::string resampleMethod;
    std::map<std::string, std::string> properties;
};

// One process that records: its streams grouped under one key.
struct ProcessRecord {
    std::string key; // stable for the life of the process on one server
    std::optional<std::string> bundleId;
    bool runningInput = false;
    std::optional<std::int32_t> pid;
    std::vector<std::uint32_t> sources; // source indices, first use first, no repeats
};

// True for a stream that only meters levels (the peak-detect streams of
// volume controls), which is not microphone use.
bool isLevelMeter(const SourceOutputRecord& stream);

// A process id as a client declares it: decimal digits of a positive 32-bit
// number, nothing else.
std::optional<std::int32_t> parseProcessId(const std::string& text);

// The name a process runs under (/proc/PID/comm), or nothing when that
// process cannot be seen from here.
std::optional<std::string> processCommandName(std::int32_t pid);

// Groups the non-meter streams by process, in the order of each process's
// oldest stream (lowest index). A process's bundle identifier is the best
// non-empty name its streams declare; a process that declares none (blank
// or missing names) is named by `commandName` of its pid when that answers,
// so that no process slips past the monitor by blanking its name.
std::vector<ProcessRecord>
groupByProcess(std::vector<SourceOutputRecord> streams,
               const std::function<std::optional<std::string>(std::int32_t)>& commandName = processCommandName);

} // namespace velko::audio::pulse
