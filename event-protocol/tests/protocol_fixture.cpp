// A stand-in helper program for the whole-process tests of the event
// protocol: it runs the protocol in the configuration of each helper.
//   velko-protocol-fixture sentry|pointer|recorder [args...]
//   velko-protocol-fixture sentry-with-pipe  (a library's pipe opened first)
//   velko-protocol-fixture fail CODE MESSAGE [STATUS]
//   velko-protocol-fixture fail-unserialisable
//   velko-protocol-fixture emit JSON        (then exits 0)
//   velko-protocol-fixture flood            (event lines on stdout for ever)
#include "event-protocol/flags.h"
#include "event-protocol/profiles.h"
#include "event-protocol/stdin_watch.h"

#include <unistd.h>

#include <array>
#include <string>
#include <vector>

using namespace velko;
using velko::events::Event;

namespace {

double g_number = 1.0;
std::int64_t g_count = 100;

const std::array<events::FlagSpec, 2> kFlags{{
    {"--number", "--number needs a positive number",
     [](const std::string& v) {
         auto x = events::parseCDouble(v);
         if (!x || !(*x > 0) || *x == HUGE_VAL) return false;
         g_number = *x;
         return true;
     }},
    {"--count", "--count needs an integer between 10 and 5000",
     [](const std::string& v) {
         auto x = events::parseDecimalInt64(v);
         if (!x || *x < 10 || *x > 5000) return false;
         g_count = *x;
         return true;
     }},
}};

} // namespace

int main(int argc, char** argv) {
    events::openClosedStandardDescriptors();
    auto args = events::argumentsAfterProgramName(argc, argv);
    if (args.empty()) return 2;
    std::string mode = args.front();
    args.erase(args.begin());

    if (mode == "sentry") {
        if (auto refusal = events::readFlags(args, kFlags)) events::input_sentry::fail("bad_args", *refusal);
        static auto stdinSource = events::installStdinReadSource();
        events::input_sentry::emit({{"event", "ready"}});
        dispatch::runMain();
    }
    if (mode == "sentry-with-pipe") {
        // What a platform library does at start-up (libpulse's wake-up
        // pipe, say): it takes the lowest free descriptors.
        static int libraryPipe[2];
        if (::pipe(libraryPipe) != 0) return 3;
        static auto stdinSource = events::installStdinReadSource();
        events::input_sentry::emit({{"event", "ready"}});
        dispatch::runMain();
    }
    if (mode == "pointer") {
        if (!args.empty()) events::pointer_sentry::fail("bad_args", "takes no flags");
        static auto stdinSource = events::installStdinReadSource();
        events::pointer_sentry::emit({{"event", "ready"}});
        dispatch::runMain();
    }
    if (mode == "recorder") {
        if (auto refusal = events::readFlags(args, kFlags)) events::recorder::fail("bad_args", *refusal);
        events::recorder::emit({{"event", "ready"}, {"number", g_number}, {"count", g_count}});
        events::watchStdinInBackground([] {
            events::recorder::emit({{"event", "stopped"}});
            events::exitProcess(0);
        });
        dispatch::runMainRunLoop();
        events::exitProcess(0);
    }
    if (mode == "fail") {
        std::optional<std::int32_t> status;
        if (args.size() > 2) status = static_cast<std::int32_t>(std::stol(args[2]));
        events::input_sentry::fail(args.at(0), args.at(1), status);
    }
    if (mode == "fail-unserialisable") {
        events::input_sentry::fail("bad_args", std::string("\xff\xfe"));
    }
    if (mode == "emit") {
        events::input_sentry::emit(Event::parse(args.at(0)));
        events::input_sentry::emit({{"event", std::string("bad \xc3")}}); // U+FFFD for the bad byte
        events::input_sentry::emit({{"event", "after"}});
        events::exitProcess(0);
    }
    if (mode == "flood") {
        for (;;) events::input_sentry::emit({{"event", "tick"}});
    }
    return 2;
}
