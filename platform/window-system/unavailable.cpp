// The window system on a machine where no global mouse monitor can be had
// yet (Linux until the X11 backend exists): the monitor is refused, so the
// program reports that it cannot watch the mouse and ends, instead of
// pretending to run. The other answers are those of a machine without
// windows or screens.
#include "platform/window-system/window_system.h"

#include "platform/dispatch/dispatch.h"

namespace velko::window_system {
namespace {

class UnavailableWindowSystem final : public WindowSystem {
public:
    std::int32_t desktopIconWindowLevel() override { return 0; }
    Application sharedApplication() override { return Application{&application_}; }
    void setActivationPolicy(Application, ActivationPolicy) override {}
    std::optional<Monitor> addGlobalMonitor(EventMask, MouseHandler) override { return std::nullopt; }
    std::optional<double> primaryScreenHeight() override { return std::nullopt; }
    std::int64_t windowNumberAtPoint(Point) override { return 0; }
    std::optional<PropertyList> windowDescriptions(std::uint32_t) override { return std::nullopt; }
    [[noreturn]] void run(Application) override { dispatch::runMain(); }

private:
    char application_ = 0;
};

} // namespace

std::unique_ptr<WindowSystem> makeWindowSystem() { return std::make_unique<UnavailableWindowSystem>(); }

} // namespace velko::window_system
