// Node-API as seen by the test build of the module: every Node-API function
// that the module calls goes through a stand-in here that counts the call
// and can make it fail, so that the tests reach the module's failure paths.
//
// Faults come from two places: VELKO_NAPI_FAULTS, a comma-separated list of
// function names whose first call in the process fails (for failures while
// loading, before any control exists), and failNext() at run time.
// VELKO_NAPI_PAUSE names one function whose first call waits until another
// thread throws a Node-API error (or ten seconds pass), to hold one load
// half-way while another runs.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace velko::notify_prefs::faults {

// Each watched function with the number of calls the module made to it.
std::vector<std::pair<const char*, std::uint64_t>> callCounts();

// Makes the module's next call of `name` fail with napi_generic_failure.
// False when `name` is not a watched function.
bool failNext(std::string_view name);

// While one exists on a thread, that thread's Node-API calls are the test
// controls' own: they are neither counted nor failed.
class ControlScope {
public:
    ControlScope();
    ~ControlScope();
    ControlScope(const ControlScope&) = delete;
    ControlScope& operator=(const ControlScope&) = delete;
};

} // namespace velko::notify_prefs::faults
