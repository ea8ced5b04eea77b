#include "event-protocol/events.h"
#include "event-protocol/flags.h"
#include "pointer-sentry/pointer_sentry.h"

int main(int argc, char** argv) {
    velko::events::openClosedStandardDescriptors();
    auto args = velko::events::argumentsAfterProgramName(argc, argv);
    auto platform = velko::window_system::makeWindowSystem();
    velko::pointer_sentry::run(args, *platform);
}
