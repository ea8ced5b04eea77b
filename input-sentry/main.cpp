// velko-input-sentry: reports which processes are using audio input.
#include "event-protocol/flags.h"
#include "input-sentry/startup.h"
#include "platform/audio/pulse.h"

int main(int argc, char** argv) {
    auto hal = velko::audio::makePulseHal("Velko input sentry");
    velko::inputsentry::run(velko::events::argumentsAfterProgramName(argc, argv), *hal);
}
