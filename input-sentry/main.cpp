// velko-input-sentry: reports which processes are using audio input.
#include "event-protocol/flags.h"
#include "input-sentry/no_process_hal.h"
#include "input-sentry/startup.h"

int main(int argc, char** argv) {
    velko::inputsentry::NoProcessObjectsHal hal;
    velko::inputsentry::run(velko::events::argumentsAfterProgramName(argc, argv), hal);
}
