// Linux backend, until a desktop notification backend exists: the process
// behaves like one without a bundle identifier, so every request rejects with
// "no-bundle: ..." and no notification service is ever asked.
#include "notify-prefs/platform.h"

namespace velko::notify_prefs::platform {

void autoreleaseScope(void (*body)(void*), void* context) { body(context); }

bool hasBundleIdentifier() { return false; }

// Not reached while hasBundleIdentifier() is false; should it ever be, the
// request fails as an exception without text rather than hanging.
std::optional<Raised> requestSettings(void*, SettingsAnswer) { return Raised{}; }

bool addExports(napi_env, napi_value, std::int64_t (*)()) { return true; }

} // namespace velko::notify_prefs::platform
