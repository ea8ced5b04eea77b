// velko-input-sentry: reports which processes are using audio input.
#include "event-protocol/events.h"
#include "event-protocol/flags.h"
#include "input-sentry/startup.h"
#include "platform/audio/hal.h"

int main(int argc, char** argv) {
    velko::events::openClosedStandardDescriptors();
    auto hal = velko::audio::makeSystemHal();
    velko::input_sentry::run(velko::events::argumentsAfterProgramName(argc, argv), *hal);
}
