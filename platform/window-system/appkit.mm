// macOS backend of the window system: AppKit for the application, the global
// monitor, the screens and the window under a point; CoreGraphics for event
// locations, window levels and window descriptions. Written to hold with or
// without automatic reference counting.
#include "platform/window-system/window_system.h"

#import <AppKit/AppKit.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velko::window_system {

// The event kinds, their mask bits and the activation policy are the SDK's.
static_assert(static_cast<NSEventType>(EventType::leftMouseDown) == NSEventTypeLeftMouseDown);
static_assert(static_cast<NSEventType>(EventType::leftMouseUp) == NSEventTypeLeftMouseUp);
static_assert(static_cast<NSEventType>(EventType::rightMouseDown) == NSEventTypeRightMouseDown);
static_assert(eventMaskFor(EventType::leftMouseDown) == NSEventMaskLeftMouseDown);
static_assert(eventMaskFor(EventType::leftMouseUp) == NSEventMaskLeftMouseUp);
static_assert(eventMaskFor(EventType::rightMouseDown) == NSEventMaskRightMouseDown);
static_assert(static_cast<NSApplicationActivationPolicy>(ActivationPolicy::accessory) ==
              NSApplicationActivationPolicyAccessory);
static_assert(kCGWindowListOptionIncludingWindow == 8);
static_assert(kCGDesktopIconWindowLevelKey == 18);

namespace {

// Window descriptions are shallow; anything nested deeper than this is no
// part of what a description can hold.
constexpr int maxNesting = 8;

std::optional<std::string> utf8(CFStringRef text) {
    CFRange all = CFRangeMake(0, CFStringGetLength(text));
    CFIndex size = 0;
    if (CFStringGetBytes(text, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size) != all.length) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    CFStringGetBytes(text, all, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(bytes.data()), size, &size);
    bytes.resize(static_cast<std::size_t>(size));
    return bytes;
}

// A property-list value as the logic inspects it. Whatever has no JSON form
// becomes null, so a dictionary with a key that is not a string stops being
// a dictionary and a list holding it stops being a list of descriptions.
PropertyList toPropertyList(CFTypeRef value, int depth) {
    if (value == nullptr || depth > maxNesting) return nullptr;
    CFTypeID type = CFGetTypeID(value);
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(value);
        PropertyList list = PropertyList::array();
        for (CFIndex i = 0, n = CFArrayGetCount(array); i < n; ++i) {
            list.push_back(toPropertyList(CFArrayGetValueAtIndex(array, i), depth + 1));
        }
        return list;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto dictionary = static_cast<CFDictionaryRef>(value);
        CFIndex count = CFDictionaryGetCount(dictionary);
        PropertyList object = PropertyList::object();
        if (count == 0) return object;
        std::vector<const void*> keys(static_cast<std::size_t>(count));
        std::vector<const void*> values(static_cast<std::size_t>(count));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == nullptr || CFGetTypeID(keys[i]) != CFStringGetTypeID()) return nullptr;
            auto key = utf8(static_cast<CFStringRef>(keys[i]));
            if (!key) return nullptr;
            object[*key] = toPropertyList(values[i], depth + 1);
        }
        return object;
    }
    if (type == CFNumberGetTypeID()) {
        auto number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            double real = 0;
            if (!CFNumberGetValue(number, kCFNumberDoubleType, &real)) return nullptr;
            return real;
        }
        SInt64 integer = 0;
        if (!CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) return nullptr;
        return static_cast<std::int64_t>(integer);
    }
    if (type == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
    if (type == CFStringGetTypeID()) {
        auto text = utf8(static_cast<CFStringRef>(value));
        if (!text) return nullptr;
        return *text;
    }
    return nullptr;
}

MouseEvent mouseEvent(NSEvent* event) {
    MouseEvent result;
    result.type = static_cast<EventType>(static_cast<std::uint64_t>(event.type));
    // Events that the window server did not produce carry no CGEvent.
    CGEventRef windowServerEvent = event.CGEvent;
    if (windowServerEvent != nullptr) {
        CGPoint location = CGEventGetLocation(windowServerEvent);
        result.location = Point{static_cast<double>(location.x), static_cast<double>(location.y)};
    }
    return result;
}

NSApplication* application(Application handle) { return (__bridge NSApplication*)handle.native; }

class AppKitWindowSystem final : public WindowSystem {
public:
    std::int32_t desktopIconWindowLevel() override {
        return static_cast<std::int32_t>(CGWindowLevelForKey(kCGDesktopIconWindowLevelKey));
    }

    Application sharedApplication() override {
        @autoreleasepool {
            // The shared application lives as long as the process.
            return Application{(__bridge const void*)[NSApplication sharedApplication]};
        }
    }

    void setActivationPolicy(Application handle, ActivationPolicy policy) override {
        @autoreleasepool {
            (void)[application(handle) setActivationPolicy:static_cast<NSApplicationActivationPolicy>(policy)];
        }
    }

    std::optional<Monitor> addGlobalMonitor(EventMask mask, MouseHandler handler) override {
        auto shared = std::make_shared<MouseHandler>(std::move(handler));
        @autoreleasepool {
            id token = [NSEvent addGlobalMonitorForEventsMatchingMask:static_cast<NSEventMask>(mask)
                                                              handler:^(NSEvent* event) {
                                                                @autoreleasepool {
                                                                    (*shared)(mouseEvent(event));
                                                                }
                                                              }];
            if (token == nil) return std::nullopt;
            // Retained for good: the monitor is never removed.
            return Monitor{CFBridgingRetain(token)};
        }
    }

    std::optional<double> primaryScreenHeight() override {
        @autoreleasepool {
            NSArray<NSScreen*>* screens = [NSScreen screens];
            if (screens.count == 0) return std::nullopt;
            return static_cast<double>(CGRectGetHeight(NSRectToCGRect(screens[0].frame)));
        }
    }

    std::int64_t windowNumberAtPoint(Point point) override {
        @autoreleasepool {
            NSInteger number = [NSWindow windowNumberAtPoint:NSMakePoint(point.x, point.y)
                                 belowWindowWithWindowNumber:0];
            return static_cast<std::int64_t>(number);
        }
    }

    std::optional<PropertyList> windowDescriptions(std::uint32_t windowId) override {
        CFArrayRef list =
            CGWindowListCopyWindowInfo(kCGWindowListOptionIncludingWindow, static_cast<CGWindowID>(windowId));
        if (list == nullptr) return std::nullopt;
        PropertyList descriptions = toPropertyList(list, 0);
        CFRelease(list);
        return descriptions;
    }

    [[noreturn]] void run(Application handle) override {
        NSApplication* app = application(handle);
        // -run comes back only when something stops the loop. Nothing in
        // this program does, and the monitor must keep being served, so the
        // loop is entered again.
        for (;;) {
            @autoreleasepool {
                [app run];
            }
        }
    }
};

} // namespace

std::unique_ptr<WindowSystem> makeWindowSystem() { return std::make_unique<AppKitWindowSystem>(); }

} // namespace velko::window_system
