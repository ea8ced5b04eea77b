// velko-recorder: the audio system of this machine, and the program.
#include "event-protocol/events.h"
#include "event-protocol/flags.h"
#include "recorder/recorder.h"

int main(int argc, char** argv) {
    velko::events::openClosedStandardDescriptors();
    auto hal = velko::audio::makeSystemHal();
    velko::recorder::run(velko::events::argumentsAfterProgramName(argc, argv), *hal);
}
