// The Unicode library of the Linux build: utf8proc.
#include "input-sentry/utf8_backend.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace velko::input_sentry::utf8_backend {
namespace {

const utf8proc_uint8_t* bytesOf(std::string_view text) {
    return reinterpret_cast<const utf8proc_uint8_t*>(text.data());
}

} // namespace

std::size_t wellFormedPrefix(std::string_view text) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(bytesOf(text), static_cast<utf8proc_ssize_t>(text.size()), &codepoint);
    return length > 0 && codepoint >= 0 ? static_cast<std::size_t>(length) : 0;
}

std::string composed(std::string_view text) {
    utf8proc_uint8_t* mapped = nullptr;
    // An explicit length rather than NUL termination, so that a NUL inside
    // the text does not cut it short.
    utf8proc_ssize_t length = utf8proc_map(bytesOf(text), static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                                           static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    // Only an allocation failure can refuse valid input; the text as it
    // stands is then the best comparison there is.
    if (length < 0 || mapped == nullptr) return std::string(text);
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

} // namespace velko::input_sentry::utf8_backend
