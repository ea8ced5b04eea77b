#include "event-protocol/stdin_watch.h"

#include "event-protocol/events.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace velko::events {
namespace {

// A read error that says "try again" rather than "this will keep failing".
bool transient(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

// What one read of standard input takes at most: a pipe's default capacity.
constexpr std::size_t kStdinBlock = std::size_t{64} * 1024;

} // namespace

std::unique_ptr<dispatch::Source> installStdinReadSource() {
    auto source = dispatch::makeReadSource(STDIN_FILENO);
    source->setHandler([watch = source.get()] {
        // Whatever is waiting, up to a block, in one call: the bytes are
        // dropped either way, and one byte per wake-up would cost a system
        // call and a trip through the loop for each. The handler runs on the
        // main thread only, so one buffer serves every run.
        static char scratch[kStdinBlock];
        ssize_t n = ::read(STDIN_FILENO, scratch, sizeof scratch);
        if (n == 0) exitProcess(0);
        // > 0: the bytes are dropped; -1: ignored, the watch stays and the
        // program runs on. An error that is not transient (standard input
        // opened on a directory, say) would only repeat on every read, and
        // the descriptor counts as readable for ever: the watch stops
        // reading rather than spin.
        if (n < 0 && !transient(errno)) watch->suspend();
    });
    source->resume();
    return source;
}

void watchStdinInBackground(dispatch::Work onEnd) {
    dispatch::Queue::global().async([onEnd = std::move(onEnd)]() mutable {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && transient(errno)) {
                // A non-blocking descriptor inherited from the host: wait
                // for it instead of spinning.
                pollfd fd{STDIN_FILENO, POLLIN, 0};
                ::poll(&fd, 1, -1);
                continue;
            }
            // End of file. Any other read error leaves nothing to wait for
            // either, so it ends the watch the same way.
            break;
        }
        dispatch::Queue::main().async(std::move(onEnd));
    });
}

} // namespace velko::events
