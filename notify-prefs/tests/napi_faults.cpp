// Stand-ins for the Node-API functions that the module calls. They are
// hidden definitions inside the test module, so the module's calls bind to
// them when it is linked, and each forwards to the runtime's own function,
// found by name in the loading process.
#define NAPI_EXTERN __attribute__((visibility("hidden")))
#include <node_api.h>

#include "notify-prefs/tests/napi_faults.h"

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace velko::notify_prefs::faults {
namespace {

enum Fn {
    kCreateStringUtf8,
    kCreateThreadsafeFunction,
    kUnrefThreadsafeFunction,
    kReleaseThreadsafeFunction,
    kCallThreadsafeFunction,
    kCreateFunction,
    kSetNamedProperty,
    kThrowError,
    kCreatePromise,
    kResolveDeferred,
    kRejectDeferred,
    kCreateObject,
    kCreateError,
    kFnCount
};

constexpr std::array<const char*, kFnCount> kNames = {
    "napi_create_string_utf8",
    "napi_create_threadsafe_function",
    "napi_unref_threadsafe_function",
    "napi_release_threadsafe_function",
    "napi_call_threadsafe_function",
    "napi_create_function",
    "napi_set_named_property",
    "napi_throw_error",
    "napi_create_promise",
    "napi_resolve_deferred",
    "napi_reject_deferred",
    "napi_create_object",
    "napi_create_error",
};

int indexOf(std::string_view name) {
    for (int i = 0; i < kFnCount; ++i) {
        if (name == kNames[i]) return i;
    }
    return -1;
}

thread_local int t_controlDepth = 0;

struct Faults {
    std::array<std::atomic<std::uint64_t>, kFnCount> calls{};
    std::array<std::atomic<int>, kFnCount> armed{};
    int paused = -1;

    std::mutex lock;
    std::condition_variable otherThrew;
    bool pauseTaken = false;
    bool pauseOver = false;
    std::thread::id pausedThread;

    Faults() {
        if (const char* list = std::getenv("VELKO_NAPI_FAULTS")) {
            std::string_view rest(list);
            while (!rest.empty()) {
                const auto comma = rest.find(',');
                const int fn = indexOf(rest.substr(0, comma));
                if (fn >= 0) armed[fn].fetch_add(1);
                rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            }
        }
        if (const char* name = std::getenv("VELKO_NAPI_PAUSE")) paused = indexOf(name);
    }
};

Faults& state() {
    static Faults faults;
    return faults;
}

// Counts the module's call of `fn` and says whether it is to fail.
bool fails(Fn fn) {
    if (t_controlDepth > 0) return false;
    Faults& f = state();
    f.calls[fn].fetch_add(1);
    int armed = f.armed[fn].load();
    while (armed > 0) {
        if (f.armed[fn].compare_exchange_weak(armed, armed - 1)) return true;
    }
    return false;
}

void maybePause(Fn fn) {
    Faults& f = state();
    if (t_controlDepth > 0 || f.paused != fn) return;
    std::unique_lock<std::mutex> hold(f.lock);
    if (f.pauseTaken) return;
    f.pauseTaken = true;
    f.pausedThread = std::this_thread::get_id();
    f.otherThrew.wait_for(hold, std::chrono::seconds(10), [&] { return f.pauseOver; });
}

void noteThrow() {
    Faults& f = state();
    if (f.paused < 0) return;
    std::lock_guard<std::mutex> hold(f.lock);
    if (f.pauseTaken && std::this_thread::get_id() != f.pausedThread) {
        f.pauseOver = true;
        f.otherThrew.notify_all();
    }
}

void* lookup(const char* name) {
    void* fn = dlsym(RTLD_DEFAULT, name);
    if (fn == nullptr) std::abort();
    return fn;
}

} // namespace

std::vector<std::pair<const char*, std::uint64_t>> callCounts() {
    std::vector<std::pair<const char*, std::uint64_t>> counts;
    counts.reserve(kFnCount);
    for (int i = 0; i < kFnCount; ++i) counts.emplace_back(kNames[i], state().calls[i].load());
    return counts;
}

bool failNext(std::string_view name) {
    const int fn = indexOf(name);
    if (fn < 0) return false;
    state().armed[fn].fetch_add(1);
    return true;
}

ControlScope::ControlScope() { ++t_controlDepth; }
ControlScope::~ControlScope() { --t_controlDepth; }

} // namespace velko::notify_prefs::faults

using velko::notify_prefs::faults::fails;
namespace fi = velko::notify_prefs::faults;

#define VELKO_REAL(name) (reinterpret_cast<decltype(&(name))>(fi::lookup(#name)))

extern "C" {

napi_status napi_create_string_utf8(napi_env env, const char* str, size_t length, napi_value* result) {
    static const auto real = VELKO_REAL(napi_create_string_utf8);
    if (fails(fi::kCreateStringUtf8)) return napi_generic_failure;
    return real(env, str, length, result);
}

napi_status napi_create_threadsafe_function(napi_env env, napi_value func, napi_value async_resource,
                                            napi_value async_resource_name, size_t max_queue_size,
                                            size_t initial_thread_count, void* thread_finalize_data,
                                            napi_finalize thread_finalize_cb, void* context,
                                            napi_threadsafe_function_call_js call_js_cb,
                                            napi_threadsafe_function* result) {
    static const auto real = VELKO_REAL(napi_create_threadsafe_function);
    if (fails(fi::kCreateThreadsafeFunction)) return napi_generic_failure;
    fi::maybePause(fi::kCreateThreadsafeFunction);
    return real(env, func, async_resource, async_resource_name, max_queue_size, initial_thread_count,
                thread_finalize_data, thread_finalize_cb, context, call_js_cb, result);
}

napi_status napi_unref_threadsafe_function(node_api_basic_env env, napi_threadsafe_function func) {
    static const auto real = VELKO_REAL(napi_unref_threadsafe_function);
    if (fails(fi::kUnrefThreadsafeFunction)) return napi_generic_failure;
    return real(env, func);
}

napi_status napi_release_threadsafe_function(napi_threadsafe_function func,
                                             napi_threadsafe_function_release_mode mode) {
    static const auto real = VELKO_REAL(napi_release_threadsafe_function);
    if (fails(fi::kReleaseThreadsafeFunction)) return napi_generic_failure;
    return real(func, mode);
}

napi_status napi_call_threadsafe_function(napi_threadsafe_function func, void* data,
                                          napi_threadsafe_function_call_mode is_blocking) {
    static const auto real = VELKO_REAL(napi_call_threadsafe_function);
    if (fails(fi::kCallThreadsafeFunction)) return napi_generic_failure;
    return real(func, data, is_blocking);
}

napi_status napi_create_function(napi_env env, const char* utf8name, size_t length, napi_callback cb, void* data,
                                 napi_value* result) {
    static const auto real = VELKO_REAL(napi_create_function);
    if (fails(fi::kCreateFunction)) return napi_generic_failure;
    return real(env, utf8name, length, cb, data, result);
}

napi_status napi_set_named_property(napi_env env, napi_value object, const char* utf8name, napi_value value) {
    static const auto real = VELKO_REAL(napi_set_named_property);
    if (fails(fi::kSetNamedProperty)) return napi_generic_failure;
    return real(env, object, utf8name, value);
}

napi_status napi_throw_error(napi_env env, const char* code, const char* msg) {
    static const auto real = VELKO_REAL(napi_throw_error);
    if (fails(fi::kThrowError)) return napi_generic_failure;
    const napi_status status = real(env, code, msg);
    fi::noteThrow();
    return status;
}

napi_status napi_create_promise(napi_env env, napi_deferred* deferred, napi_value* promise) {
    static const auto real = VELKO_REAL(napi_create_promise);
    if (fails(fi::kCreatePromise)) return napi_generic_failure;
    return real(env, deferred, promise);
}

napi_status napi_resolve_deferred(napi_env env, napi_deferred deferred, napi_value resolution) {
    static const auto real = VELKO_REAL(napi_resolve_deferred);
    if (fails(fi::kResolveDeferred)) return napi_generic_failure;
    return real(env, deferred, resolution);
}

napi_status napi_reject_deferred(napi_env env, napi_deferred deferred, napi_value rejection) {
    static const auto real = VELKO_REAL(napi_reject_deferred);
    if (fails(fi::kRejectDeferred)) return napi_generic_failure;
    return real(env, deferred, rejection);
}

napi_status napi_create_object(napi_env env, napi_value* result) {
    static const auto real = VELKO_REAL(napi_create_object);
    if (fails(fi::kCreateObject)) return napi_generic_failure;
    return real(env, result);
}

napi_status napi_create_error(napi_env env, napi_value code, napi_value msg, napi_value* result) {
    static const auto real = VELKO_REAL(napi_create_error);
    if (fails(fi::kCreateError)) return napi_generic_failure;
    return real(env, code, msg, result);
}

} // extern "C"
