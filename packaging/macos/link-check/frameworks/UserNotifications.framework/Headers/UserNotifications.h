// Stand-in for the UserNotifications framework, for compile and link checks
// against an SDK folder that lacks it; a complete SDK's own framework is
// always preferred. It declares only the documented members that
// velko-notify-prefs uses, with their documented availability, and nothing
// else: UNUserNotificationCenter +currentNotificationCenter and
// -getNotificationSettingsWithCompletionHandler:, UNNotificationSettings
// authorizationStatus, and UNAuthorizationStatus with its values.
#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, UNAuthorizationStatus) {
    UNAuthorizationStatusNotDetermined = 0,
    UNAuthorizationStatusDenied,
    UNAuthorizationStatusAuthorized,
    UNAuthorizationStatusProvisional API_AVAILABLE(macos(10.14), ios(12.0), watchos(5.0), tvos(12.0)),
    UNAuthorizationStatusEphemeral API_AVAILABLE(ios(14.0)) API_UNAVAILABLE(macos, watchos, tvos),
} API_AVAILABLE(macos(10.14), ios(10.0), watchos(3.0), tvos(10.0));

API_AVAILABLE(macos(10.14), ios(10.0), watchos(3.0), tvos(10.0))
@interface UNNotificationSettings : NSObject
@property(NS_NONATOMIC_IOSONLY, readonly) UNAuthorizationStatus authorizationStatus;
@end

API_AVAILABLE(macos(10.14), ios(10.0), watchos(3.0), tvos(10.0))
@interface UNUserNotificationCenter : NSObject
+ (UNUserNotificationCenter*)currentNotificationCenter;
- (void)getNotificationSettingsWithCompletionHandler:(void (^)(UNNotificationSettings* settings))completionHandler;
@end

NS_ASSUME_NONNULL_END
