// Scripted backend, for the test build of the module: a stand-in platform
// whose answers the test chooses through the extra export "scripted".
//
//   scripted.configure({ bundleId, status, raise, answer })
//     bundleId  string, or null for a process without one
//     status    number or bigint: the authorization status of later answers
//     raise     null, or { at: "center" | "request", name, reason } to raise a
//               platform exception there, or { at, noUtf8: true } for one
//               whose text has no UTF-8 form
//     answer    "thread": at once on a new native thread; a number: on a new
//               native thread after that many milliseconds; "held": kept
//               until release()
//   scripted.release(index = 0)  answers one held request (oldest first) on
//                                a new native thread; returns how many stay held
//   scripted.waitAnswered(count, timeoutMs)  blocks until `count` answers in
//                                all have been handed to the module; false on
//                                timeout
//   scripted.failNext(name)      the module's next call of that Node-API
//                                function fails
//   scripted.stats()             { centerRequests, settingsRequests, answered,
//                                held, liveCalls, napi: { name: calls } }
//
// Settings are read when a request is made, so each request can be scripted
// on its own. The state is per process and outlives the environments that
// load the module, as the platform's would.
#include "notify-prefs/platform.h"
#include "notify-prefs/tests/napi_faults.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velko::notify_prefs::platform {
namespace {

enum class Raise { none, atCenter, atRequest };
enum class Delivery { thread, delayed, held };

struct Held {
    void* request;
    SettingsAnswer answer;
    std::int64_t status;
};

struct Script {
    std::mutex lock;
    std::condition_variable answeredChanged;

    std::optional<std::string> bundleId = std::string("app.velko.notes.tests");
    std::int64_t status = 2;
    Raise raise = Raise::none;
    std::optional<std::string> raisedText;
    Delivery delivery = Delivery::thread;
    std::chrono::milliseconds delay{0};

    std::vector<Held> held;
    std::uint64_t centerRequests = 0;
    std::uint64_t settingsRequests = 0;
    std::uint64_t answered = 0;
};

// Never destroyed: like the platform's, its pending requests stay reachable
// until the process is gone.
Script& script() {
    static Script* s = new Script;
    return *s;
}

std::int64_t (*g_liveCalls)() = nullptr;

// A native thread of its own, like the platform's answering threads.
void answerLater(Held h, std::chrono::milliseconds delay) {
    std::thread([h, delay] {
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
        h.answer(h.request, h.status);
        Script& s = script();
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.answered;
        s.answeredChanged.notify_all();
    }).detach();
}

// --- JavaScript side of the controls ---

napi_value undefinedValue(napi_env env) {
    napi_value v = nullptr;
    napi_get_undefined(env, &v);
    return v;
}

napi_value typeError(napi_env env, const char* message) {
    napi_throw_type_error(env, nullptr, message);
    return nullptr;
}

napi_valuetype typeOf(napi_env env, napi_value v) {
    napi_valuetype t = napi_undefined;
    napi_typeof(env, v, &t);
    return t;
}

// The named property of `object`, or nothing when it is absent.
std::optional<napi_value> property(napi_env env, napi_value object, const char* name) {
    bool has = false;
    napi_value v;
    if (napi_has_named_property(env, object, name, &has) != napi_ok || !has ||
        napi_get_named_property(env, object, name, &v) != napi_ok) {
        return std::nullopt;
    }
    return v;
}

std::optional<std::string> stringOf(napi_env env, napi_value v) {
    size_t length = 0;
    if (napi_get_value_string_utf8(env, v, nullptr, 0, &length) != napi_ok) return std::nullopt;
    std::string text(length, '\0');
    if (napi_get_value_string_utf8(env, v, text.data(), length + 1, &length) != napi_ok) return std::nullopt;
    return text;
}

std::optional<std::int64_t> integerOf(napi_env env, napi_value v) {
    std::int64_t n;
    if (typeOf(env, v) == napi_bigint) {
        bool lossless = false;
        if (napi_get_value_bigint_int64(env, v, &n, &lossless) != napi_ok || !lossless) return std::nullopt;
        return n;
    }
    if (napi_get_value_int64(env, v, &n) != napi_ok) return std::nullopt;
    return n;
}

std::vector<napi_value> args(napi_env env, napi_callback_info info, size_t count) {
    std::vector<napi_value> values(count, nullptr);
    size_t given = count;
    napi_get_cb_info(env, info, &given, values.data(), nullptr, nullptr);
    for (size_t i = given; i < count; ++i) values[i] = undefinedValue(env);
    return values;
}

napi_value Configure(napi_env env, napi_callback_info info) {
    faults::ControlScope controls;
    napi_value options = args(env, info, 1)[0];
    if (typeOf(env, options) != napi_object) return typeError(env, "configure: options must be an object");

    Script& s = script();
    std::lock_guard<std::mutex> hold(s.lock);
    if (auto v = property(env, options, "bundleId")) {
        if (typeOf(env, *v) == napi_null) {
            s.bundleId.reset();
        } else if (auto text = stringOf(env, *v)) {
            s.bundleId = *text;
        } else {
            return typeError(env, "configure: bundleId must be a string or null");
        }
    }
    if (auto v = property(env, options, "status")) {
        auto n = integerOf(env, *v);
        if (!n) return typeError(env, "configure: status must be an integer");
        s.status = *n;
    }
    if (auto v = property(env, options, "raise")) {
        if (typeOf(env, *v) == napi_null) {
            s.raise = Raise::none;
        } else {
            if (typeOf(env, *v) != napi_object) return typeError(env, "configure: raise must be an object or null");
            auto at = property(env, *v, "at");
            auto where = at ? stringOf(env, *at) : std::nullopt;
            if (!where || (*where != "center" && *where != "request")) {
                return typeError(env, "configure: raise.at must be \"center\" or \"request\"");
            }
            bool noUtf8 = false;
            if (auto flag = property(env, *v, "noUtf8")) napi_get_value_bool(env, *flag, &noUtf8);
            if (noUtf8) {
                s.raisedText.reset();
            } else {
                auto name = property(env, *v, "name");
                auto reason = property(env, *v, "reason");
                auto nameText = name ? stringOf(env, *name) : std::nullopt;
                auto reasonText = reason ? stringOf(env, *reason) : std::nullopt;
                if (!nameText || !reasonText) return typeError(env, "configure: raise needs name and reason strings");
                s.raisedText = *nameText + ": " + *reasonText;
            }
            s.raise = *where == "center" ? Raise::atCenter : Raise::atRequest;
        }
    }
    if (auto v = property(env, options, "answer")) {
        if (typeOf(env, *v) == napi_number) {
            auto ms = integerOf(env, *v);
            if (!ms || *ms < 0) return typeError(env, "configure: answer delay must be a non-negative integer");
            s.delivery = Delivery::delayed;
            s.delay = std::chrono::milliseconds(*ms);
        } else {
            auto how = stringOf(env, *v);
            if (how && *how == "thread") {
                s.delivery = Delivery::thread;
            } else if (how && *how == "held") {
                s.delivery = Delivery::held;
            } else {
                return typeError(env, "configure: answer must be \"thread\", \"held\" or a delay in ms");
            }
        }
    }
    return undefinedValue(env);
}

napi_value Release(napi_env env, napi_callback_info info) {
    faults::ControlScope controls;
    napi_value given = args(env, info, 1)[0];
    std::int64_t index = 0;
    if (typeOf(env, given) != napi_undefined) {
        auto n = integerOf(env, given);
        if (!n) return typeError(env, "release: index must be an integer");
        index = *n;
    }
    Script& s = script();
    std::unique_lock<std::mutex> hold(s.lock);
    if (index < 0 || static_cast<std::size_t>(index) >= s.held.size()) {
        hold.unlock();
        napi_throw_range_error(env, nullptr, "release: no such held answer");
        return nullptr;
    }
    const Held h = s.held[static_cast<std::size_t>(index)];
    s.held.erase(s.held.begin() + index);
    const auto remaining = static_cast<std::int64_t>(s.held.size());
    hold.unlock();
    answerLater(h, std::chrono::milliseconds(0));
    napi_value result = nullptr;
    napi_create_int64(env, remaining, &result);
    return result;
}

napi_value WaitAnswered(napi_env env, napi_callback_info info) {
    faults::ControlScope controls;
    auto values = args(env, info, 2);
    auto count = integerOf(env, values[0]);
    auto timeout = integerOf(env, values[1]);
    if (!count || !timeout) return typeError(env, "waitAnswered: count and timeoutMs must be integers");
    Script& s = script();
    std::unique_lock<std::mutex> hold(s.lock);
    const bool reached = s.answeredChanged.wait_for(hold, std::chrono::milliseconds(*timeout),
                                                    [&] { return s.answered >= static_cast<std::uint64_t>(*count); });
    hold.unlock();
    napi_value result = nullptr;
    napi_get_boolean(env, reached, &result);
    return result;
}

napi_value FailNext(napi_env env, napi_callback_info info) {
    faults::ControlScope controls;
    auto name = stringOf(env, args(env, info, 1)[0]);
    if (!name || !faults::failNext(*name)) return typeError(env, "failNext: not a Node-API function the module calls");
    return undefinedValue(env);
}

bool setNumber(napi_env env, napi_value object, const char* name, std::uint64_t n) {
    napi_value v;
    return napi_create_int64(env, static_cast<std::int64_t>(n), &v) == napi_ok &&
           napi_set_named_property(env, object, name, v) == napi_ok;
}

napi_value Stats(napi_env env, napi_callback_info) {
    faults::ControlScope controls;
    std::uint64_t center, settings, answered, held;
    {
        Script& s = script();
        std::lock_guard<std::mutex> hold(s.lock);
        center = s.centerRequests;
        settings = s.settingsRequests;
        answered = s.answered;
        held = s.held.size();
    }
    napi_value stats;
    napi_value napi;
    if (napi_create_object(env, &stats) != napi_ok || napi_create_object(env, &napi) != napi_ok) return nullptr;
    bool ok = setNumber(env, stats, "centerRequests", center) && setNumber(env, stats, "settingsRequests", settings) &&
              setNumber(env, stats, "answered", answered) && setNumber(env, stats, "held", held) &&
              setNumber(env, stats, "liveCalls", static_cast<std::uint64_t>(g_liveCalls ? g_liveCalls() : -1));
    for (const auto& [name, calls] : faults::callCounts()) ok = ok && setNumber(env, napi, name, calls);
    if (!ok || napi_set_named_property(env, stats, "napi", napi) != napi_ok) return nullptr;
    return stats;
}

} // namespace

void autoreleaseScope(void (*body)(void*), void* context) { body(context); }

bool hasBundleIdentifier() {
    Script& s = script();
    std::lock_guard<std::mutex> hold(s.lock);
    return s.bundleId.has_value() && !s.bundleId->empty();
}

std::optional<Raised> requestSettings(void* request, SettingsAnswer answer) {
    Script& s = script();
    std::unique_lock<std::mutex> hold(s.lock);
    ++s.centerRequests;
    if (s.raise == Raise::atCenter) return Raised{s.raisedText};
    ++s.settingsRequests;
    if (s.raise == Raise::atRequest) return Raised{s.raisedText};
    const Held h{request, answer, s.status};
    if (s.delivery == Delivery::held) {
        s.held.push_back(h);
        return std::nullopt;
    }
    const auto delay = s.delivery == Delivery::delayed ? s.delay : std::chrono::milliseconds(0);
    hold.unlock();
    answerLater(h, delay);
    return std::nullopt;
}

bool addExports(napi_env env, napi_value exports, std::int64_t (*liveCalls)()) {
    faults::ControlScope controls;
    g_liveCalls = liveCalls;
    struct Control {
        const char* name;
        napi_callback callback;
    };
    static constexpr Control kControls[] = {
        {"configure", Configure}, {"release", Release}, {"waitAnswered", WaitAnswered},
        {"failNext", FailNext},   {"stats", Stats},
    };
    napi_value object;
    if (napi_create_object(env, &object) != napi_ok) return false;
    for (const Control& c : kControls) {
        napi_value fn;
        if (napi_create_function(env, c.name, NAPI_AUTO_LENGTH, c.callback, nullptr, &fn) != napi_ok ||
            napi_set_named_property(env, object, c.name, fn) != napi_ok) {
            return false;
        }
    }
    return napi_set_named_property(env, exports, "scripted", object) == napi_ok;
}

} // namespace velko::notify_prefs::platform
