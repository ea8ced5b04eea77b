#include "event-protocol/stdin_watch.h"

#include "event-protocol/events.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace velko::events {

std::unique_ptr<dispatch::Source> installStdinReadSource() {
    auto source = dispatch::makeReadSource(STDIN_FILENO);
    source->setHandler([] {
        char scratch = 0;
        ssize_t n = ::read(STDIN_FILENO, &scratch, 1);
        if (n == 0) exitProcess(0);
        // 1: the byte is dropped; -1: ignored, the watch stays.
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
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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
