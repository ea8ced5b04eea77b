#include "input-sentry/input_process.h"

#include "input-sentry/utf8.h"

#include <algorithm>

namespace velko::input_sentry {

std::string InputProcess::key() const { return bundleId + ":" + std::to_string(pid) + ":" + deviceUID.value_or("-"); }

nlohmann::json InputProcess::json(bool preexisting) const {
    nlohmann::json entry = {
        {"bundleId", bundleId},
        {"pid", static_cast<std::int64_t>(pid)},
        {"preexisting", preexisting},
    };
    if (deviceUID) entry["deviceUID"] = *deviceUID;
    return entry;
}

std::string comparableKey(std::string_view key) { return nfc(key); }

void sortByKey(std::vector<InputProcess>& processes) {
    // Normalise each key once rather than on every comparison. Ties are
    // broken by list position, which makes the order stable.
    struct Entry {
        std::string key;
        std::size_t position;
    };
    std::vector<Entry> order;
    order.reserve(processes.size());
    for (std::size_t i = 0; i < processes.size(); ++i) order.push_back({comparableKey(processes[i].key()), i});
    std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
        if (a.key != b.key) return a.key < b.key;
        return a.position < b.position;
    });
    std::vector<InputProcess> sorted;
    sorted.reserve(processes.size());
    for (const auto& entry : order) sorted.push_back(std::move(processes[entry.position]));
    processes = std::move(sorted);
}

} // namespace velko::input_sentry
