#include "event-protocol/stdin_watch.h"

#include "event-protocol/events.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace velko::events {
namespace {

// A read error that says "try again" rather than "this will keep failing".
bool transient(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

} // namespace

std::unique_ptr<dispatch::Source> installStdinReadSource() {
    auto source = dispatch::makeReadSource(STDIN_FILENO);
    source->setHandler([watch = source.get()] {
        char scratch = 0;
        ssize_t n = ::read(STDIN_FILENO, &scratch, 1);
        if (n == 0) exitProcess(0);
        // 1: the byte is dropped; -1: ignored, the watch stays and the
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
