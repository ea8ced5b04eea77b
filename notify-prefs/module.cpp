// velko-notify-prefs: one JavaScript function, getNotificationSettings, that
// answers with a promise of the notification authorization the operating
// system holds for the loading process.
//
// The platform answers on a thread of its own. The answer travels back to the
// JavaScript thread of the loading environment through one thread-safe
// function (the channel), and the promise is settled there. Node-API allows a
// module to be loaded by several environments of one process (worker
// threads), but the channel belongs to exactly one of them, so a second load
// is refused for as long as the first environment lives.
#include "notify-prefs/platform.h"

#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include <node_api.h>

#include <dlfcn.h>

#if defined(__APPLE__)
#include <os/lock.h>
#endif

namespace velko::notify_prefs {
namespace {

constexpr const char* kAlreadyLoaded = "velko-notify-prefs: already loaded in this process";
constexpr const char* kNoJsThread = "velko-notify-prefs: could not reach the JS thread";
constexpr const char* kNoExport = "velko-notify-prefs: could not export";
constexpr const char* kNoPromise = "velko-notify-prefs: could not create a promise";
constexpr const char* kNoBundle = "no-bundle: this process has no bundle identifier";
constexpr const char* kNoExceptionText = "exception";

#if defined(__APPLE__)
// Held only for a few instructions, never across JavaScript.
class UnfairLock {
public:
    void lock() { os_unfair_lock_lock(&lock_); }
    void unlock() { os_unfair_lock_unlock(&lock_); }

private:
    os_unfair_lock lock_ = OS_UNFAIR_LOCK_INIT;
};
using Gate = UnfairLock;
#else
using Gate = std::mutex;
#endif

std::atomic<std::int64_t> g_liveCalls{0};

// One call of getNotificationSettings. Its single owner is, in turn,
// GetNotificationSettings, the platform's completion handler, Finish, and
// Settle; whoever ends its path frees it.
struct Call {
    explicit Call(napi_deferred d, std::uint64_t l) : deferred(d), load(l) { g_liveCalls.fetch_add(1); }
    ~Call() { g_liveCalls.fetch_sub(1); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    napi_deferred deferred;
    bool ok = false;
    std::string message;
    std::int64_t status = -1;
    // The load whose channel may settle this call. A deferred is only valid in
    // the environment that made it, so a call outlived by its environment must
    // never reach the channel of a later load.
    std::uint64_t load;
};

// Guarded by g_gate.
napi_threadsafe_function g_settle = nullptr;
bool g_closed = false;
// A load between its test and its registration holds the slot, so that two
// loads overlapping on two threads cannot both register a channel.
bool g_loading = false;
// Numbers the loads that got the slot; the registered channel, if any,
// belongs to load g_load.
std::uint64_t g_load = 0;
Gate g_gate;

const char* StatusText(std::int64_t status) {
    static constexpr const char* kTexts[] = {"notDetermined", "denied", "authorized", "provisional"};
    // Read as unsigned, so every negative status lands past the end too.
    const auto index = static_cast<std::uint64_t>(status);
    return index < std::size(kTexts) ? kTexts[index] : "unknown";
}

// Any thread. Queues the call on the live channel of the load that made it,
// or frees it. The gate is held across the test and the hand-over so that the
// channel cannot be finalized between the two.
void Finish(Call* call) {
    std::lock_guard<Gate> hold(g_gate);
    if (g_settle == nullptr || g_closed || call->load != g_load ||
        napi_call_threadsafe_function(g_settle, call, napi_tsfn_nonblocking) != napi_ok) {
        delete call;
    }
}

void OnSettings(void* request, std::int64_t status) {
    auto* call = static_cast<Call*>(request);
    call->ok = true;
    call->status = status;
    Finish(call);
}

// Settles a finished call's promise and frees the call, on the JavaScript
// thread: the channel's call into JavaScript, once per queued call, and
// directly for outcomes known before any request went out. A null
// environment means the channel is being torn down with calls still queued:
// they are freed and their promises never settle.
void Settle(napi_env env, napi_value, void*, void* data) {
    std::unique_ptr<Call> call(static_cast<Call*>(data));
    if (env == nullptr || call == nullptr) return;
    if (call->ok) {
        napi_value result;
        if (napi_create_object(env, &result) != napi_ok) return;
        napi_value text;
        if (napi_create_string_utf8(env, StatusText(call->status), NAPI_AUTO_LENGTH, &text) == napi_ok) {
            napi_set_named_property(env, result, "authorizationStatus", text);
        }
        napi_resolve_deferred(env, call->deferred, result);
    } else {
        napi_value text;
        napi_value error;
        if (napi_create_string_utf8(env, call->message.c_str(), NAPI_AUTO_LENGTH, &text) != napi_ok ||
            napi_create_error(env, nullptr, text, &error) != napi_ok) {
            return;
        }
        napi_reject_deferred(env, call->deferred, error);
    }
}

// The channel's finalizer; `data` is the number of the load that made it. A
// channel of a load that failed half-way closes without touching the
// registered one.
void OnSettleClosed(napi_env, void* data, void*) {
    const auto load = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(data));
    std::lock_guard<Gate> hold(g_gate);
    if (load != g_load) return;
    g_closed = true;
    g_settle = nullptr;
}

napi_value GetNotificationSettings(napi_env env, napi_callback_info) {
    napi_deferred deferred;
    napi_value promise;
    if (napi_create_promise(env, &deferred, &promise) != napi_ok) {
        napi_throw_error(env, nullptr, kNoPromise);
        return nullptr;
    }
    std::uint64_t load;
    {
        // Only the environment of the current load can call this function:
        // no other environment has it.
        std::lock_guard<Gate> hold(g_gate);
        load = g_load;
    }
    auto* call = new Call(deferred, load);
    bool known = false;
    platform::inAutoreleaseScope([call, &known] {
        if (!platform::hasBundleIdentifier()) {
            call->message = kNoBundle;
            known = true;
            return;
        }
        // From here on the completion handler owns the call, unless the
        // platform raised instead of sending the request.
        if (auto raised = platform::requestSettings(call, &OnSettings)) {
            call->message = raised->text.value_or(kNoExceptionText);
            known = true;
        }
    });
    // An outcome known already, here on the JavaScript thread, is settled at
    // once. Through the channel, which is unreferenced, it could be lost: a
    // process with nothing else to do would exit with the promise pending.
    if (known) Settle(env, nullptr, nullptr, call);
    return promise;
}

std::int64_t LiveCalls() { return g_liveCalls.load(); }

void ReleaseSlot() {
    std::lock_guard<Gate> hold(g_gate);
    g_loading = false;
}

// A runtime unloads an addon when the environment that loaded it goes away,
// but this module's code and state must outlive every environment: platform
// threads may still be about to run the completion handler, and the state
// decides which later load may register a channel. Marking our own image
// never-to-be-closed keeps it mapped until the process ends.
void StayLoaded() {
    static const bool pinned = [] {
        Dl_info self;
        if (dladdr(reinterpret_cast<const void*>(&StayLoaded), &self) == 0 || self.dli_fname == nullptr) return false;
        return dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }();
    // Nothing better to do if the loader would not say who we are: the
    // module still works for as long as it stays loaded.
    (void)pinned;
}

napi_value Load(napi_env env, napi_value exports) {
    StayLoaded();
    std::uint64_t load;
    {
        std::lock_guard<Gate> hold(g_gate);
        if (g_settle != nullptr || g_loading) {
            load = 0;
        } else {
            g_loading = true;
            load = ++g_load;
        }
    }
    if (load == 0) {
        napi_throw_error(env, nullptr, kAlreadyLoaded);
        return nullptr;
    }

    napi_value name;
    napi_threadsafe_function channel = nullptr;
    if (napi_create_string_utf8(env, "velko.notifyPrefs", NAPI_AUTO_LENGTH, &name) != napi_ok ||
        napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1,
                                        // The load number rides in the finalize data.
                                        // NOLINTNEXTLINE(performance-no-int-to-ptr)
                                        reinterpret_cast<void*>(static_cast<std::uintptr_t>(load)), OnSettleClosed,
                                        nullptr, Settle, &channel) != napi_ok) {
        ReleaseSlot();
        napi_throw_error(env, nullptr, kNoJsThread);
        return nullptr;
    }
    if (napi_unref_threadsafe_function(env, channel) != napi_ok) {
        // A channel left referenced would keep the event loop alive for good:
        // close it. Its finalizer sees that it never was the registered one.
        napi_release_threadsafe_function(channel, napi_tsfn_abort);
        ReleaseSlot();
        napi_throw_error(env, nullptr, kNoJsThread);
        return nullptr;
    }
    {
        std::lock_guard<Gate> hold(g_gate);
        g_settle = channel;
        g_closed = false;
        g_loading = false;
    }

    // The channel stays registered even if exporting fails, so a later load in
    // this process is still refused.
    napi_value function;
    if (napi_create_function(env, "getNotificationSettings", NAPI_AUTO_LENGTH, GetNotificationSettings, nullptr,
                             &function) != napi_ok ||
        napi_set_named_property(env, exports, "getNotificationSettings", function) != napi_ok ||
        !platform::addExports(env, exports, &LiveCalls)) {
        napi_throw_error(env, nullptr, kNoExport);
        return nullptr;
    }
    return exports;
}

} // namespace
} // namespace velko::notify_prefs

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return NAPI_VERSION; }

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    return velko::notify_prefs::Load(env, exports);
}

} // extern "C"
