#include "event-protocol/events.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKO_HAS_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELKO_HAS_LSAN 1
#endif
#ifdef VELKO_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace velko::events {

std::optional<std::string> eventLine(const Event& event) {
    try {
        std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        line.push_back('\n');
        return line;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A non-blocking descriptor inherited from the host: wait
                // until it takes more rather than spin or give up.
                pollfd ready{fd, POLLOUT, 0};
                if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return false;
                continue;
            }
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void emit(const Event& event, Stream target) {
    if (auto line = eventLine(event)) writeAll(static_cast<int>(target), *line);
}

void fail(std::string_view code, std::string_view message, std::optional<std::int32_t> status) {
    Event error = {{"event", "error"}, {"code", code}, {"message", message}};
    if (status) error["osstatus"] = static_cast<std::int64_t>(*status);
    emit(error, Stream::err);
    exitProcess(1);
}

void openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is this one: the lower
        // ones are open by now.
        int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void exitProcess(int status) {
#ifdef VELKO_HAS_LSAN
    // _exit skips the sanitizer's exit-time leak check; run it here.
    if (__lsan_do_recoverable_leak_check() != 0) ::_exit(23);
#endif
    ::_exit(status);
}

} // namespace velko::events
