// What velko-notify-prefs needs from the operating system: the process's
// bundle identifier, and a notification center that answers a settings
// request later, on a thread of its own choosing. The apple backend is the
// product; the linux one stands in until a desktop notification backend
// exists; the scripted one is driven by the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include <node_api.h>

namespace velko::notify_prefs::platform {

// Runs `body(context)` inside an autorelease scope, so that every platform
// object made while it runs is released before this returns.
void autoreleaseScope(void (*body)(void*), void* context);

template <class Body> void inAutoreleaseScope(Body&& body) {
    using Plain = std::remove_reference_t<Body>;
    autoreleaseScope([](void* context) { (*static_cast<Plain*>(context))(); }, &body);
}

// True when the loading process has a bundle identifier of at least one
// character.
bool hasBundleIdentifier();

// Receives the authorization status of the settings answer. Called exactly
// once per request that went out, later, on a platform thread.
using SettingsAnswer = void (*)(void* request, std::int64_t status);

// A platform exception raised while obtaining the center or sending the
// request: its name and reason as "name: reason" in UTF-8, or nothing when
// that text has no UTF-8 form.
struct Raised {
    std::optional<std::string> text;
};

// Obtains the process's notification center and asks it for the current
// settings; `answer(request, status)` follows later. When the platform raises
// instead, returns what it raised and `answer` is never called.
std::optional<Raised> requestSettings(void* request, SettingsAnswer answer);

// Anything a backend adds to the module's exports beside
// getNotificationSettings: nothing for the shipped backends, the script
// controls for the test one. `liveCalls` counts the request records that
// exist. False when adding failed.
bool addExports(napi_env env, napi_value exports, std::int64_t (*liveCalls)());

} // namespace velko::notify_prefs::platform
