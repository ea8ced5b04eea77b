// macOS backend: the main bundle's identifier and the UserNotifications
// center. Written to build with or without ARC: nothing here is retained or
// released by hand, and every object made lives in the caller's autorelease
// scope.
#include "notify-prefs/platform.h"

#import <Foundation/Foundation.h>
#import <UserNotifications/UserNotifications.h>

namespace velko::notify_prefs::platform {

void autoreleaseScope(void (*body)(void*), void* context) {
    @autoreleasepool {
        body(context);
    }
}

bool hasBundleIdentifier() {
    NSString* identifier = [[NSBundle mainBundle] bundleIdentifier];
    return identifier != nil && [identifier length] > 0;
}

std::optional<Raised> requestSettings(void* request, SettingsAnswer answer) {
    @try {
        UNUserNotificationCenter* center = [UNUserNotificationCenter currentNotificationCenter];
        [center getNotificationSettingsWithCompletionHandler:^(UNNotificationSettings* settings) {
          // Messaging nil would read as 0, "notDetermined"; a missing answer
          // is unknown instead.
          const std::int64_t status =
              settings != nil ? static_cast<std::int64_t>([settings authorizationStatus]) : std::int64_t{-1};
          answer(request, status);
        }];
    } @catch (NSException* exception) {
        NSString* text = [NSString stringWithFormat:@"%@: %@", [exception name], [exception reason]];
        const char* utf8 = [text UTF8String];
        if (utf8 == nullptr) return Raised{};
        return Raised{std::string(utf8)};
    }
    return std::nullopt;
}

bool addExports(napi_env, napi_value, std::int64_t (*)()) { return true; }

} // namespace velko::notify_prefs::platform
