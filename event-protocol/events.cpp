#include "event-protocol/events.h"

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
        std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
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

void exitProcess(int status) {
#ifdef VELKO_HAS_LSAN
    // _exit skips the sanitizer's exit-time leak check; run it here.
    if (__lsan_do_recoverable_leak_check() != 0) ::_exit(23);
#endif
    ::_exit(status);
}

} // namespace velko::events
