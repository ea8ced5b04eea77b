// Where an event happened, and whether the window there is the desktop.
#include "pointer-sentry/pointer_sentry.h"

#include <limits>

namespace velko::pointer_sentry {

std::optional<window_system::Point> screenLocation(window_system::WindowSystem& platform,
                                                   const window_system::MouseEvent& event) {
    if (!event.location) return std::nullopt;
    auto height = platform.primaryScreenHeight();
    if (!height) return std::nullopt;
    // The window server measures from the top-left corner of the primary
    // screen, windows from its bottom-left corner; the primary screen's
    // height maps one onto the other for every display.
    return window_system::Point{event.location->x, *height - event.location->y};
}

namespace {

// layer <= ceiling for a layer entry that is an integer; anything else is
// no desktop layer.
bool isDesktopLayer(const window_system::PropertyList& layer, std::int64_t ceiling) {
    if (layer.is_number_unsigned()) {
        // Beyond the signed range it is above any ceiling, not wrapped below.
        auto value = layer.get<std::uint64_t>();
        return ceiling >= 0 && value <= static_cast<std::uint64_t>(ceiling);
    }
    if (layer.is_number_integer()) return layer.get<std::int64_t>() <= ceiling;
    return false;
}

} // namespace

bool isOnDesktop(const PointerSentry& sentry, window_system::WindowSystem& platform, window_system::Point point) {
    std::int64_t number = platform.windowNumberAtPoint(point);
    // No window at all is not the desktop.
    if (number <= 0) return false;
    // Window identifiers are 32 bits wide. A larger number names no window
    // that can be described, and cutting it short would describe another.
    if (number > std::numeric_limits<std::uint32_t>::max()) return false;

    auto list = platform.windowDescriptions(static_cast<std::uint32_t>(number));
    if (!list || !list->is_array() || list->empty()) return false;
    for (const auto& description : *list) {
        if (!description.is_object()) return false;
    }
    const auto& first = list->front();
    auto layer = first.find(window_system::windowLayerKey);
    if (layer == first.end()) return false;
    return isDesktopLayer(*layer, sentry.desktopLevelCeiling);
}

} // namespace velko::pointer_sentry
