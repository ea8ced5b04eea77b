#include "input-sentry/utf8.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace velko::input_sentry {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD"; // U+FFFD

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

const utf8proc_uint8_t* bytesOf(std::string_view text) {
    return reinterpret_cast<const utf8proc_uint8_t*>(text.data());
}

} // namespace

std::string withValidUtf8(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        utf8proc_int32_t codepoint = 0;
        auto left = static_cast<utf8proc_ssize_t>(text.size() - at);
        utf8proc_ssize_t length = utf8proc_iterate(bytesOf(text) + at, left, &codepoint);
        if (length > 0 && codepoint >= 0) {
            result.append(text.substr(at, static_cast<std::size_t>(length)));
            at += static_cast<std::size_t>(length);
        } else {
            result.append(kReplacementCharacter);
            at += 1;
        }
    }
    return result;
}

std::string nfc(std::string_view text) {
    // ASCII text is already in every normal form; most keys are ASCII.
    if (isAscii(text)) return std::string(text);
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

} // namespace velko::input_sentry
