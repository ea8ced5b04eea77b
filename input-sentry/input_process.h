// One process that runs audio input, as one poll sees it, and the key by
// which polls are compared.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velko::input_sentry {

struct InputProcess {
    std::string bundleId;                 // empty when the process has none
    std::int32_t pid = 0;                 // 0 when the audio system did not say
    std::optional<std::string> deviceUID; // the first input device's UID; never empty

    // bundleId:pid:deviceUID, with "-" standing for an absent device UID.
    // One key names one pairing of a process with its input device.
    std::string key() const;

    // The process as one entry of an "input" line: "bundleId", "pid" and
    // "preexisting", plus "deviceUID" only when there is one.
    nlohmann::json json(bool preexisting) const;
};

// The form in which keys are compared and kept in sets: the NFC of the key,
// so that byte order is Unicode scalar order and canonically equivalent keys
// are equal. Keys are built from valid UTF-8 (see enumeration).
std::string comparableKey(std::string_view key);

// Comparable keys (never raw ones): canonically equivalent keys are one
// member.
using KeySet = std::set<std::string>;

// Orders `processes` by key as Unicode strings; equal keys keep their order.
void sortByKey(std::vector<InputProcess>& processes);

} // namespace velko::input_sentry
