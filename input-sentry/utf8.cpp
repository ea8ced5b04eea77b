#include "input-sentry/utf8.h"

#include "input-sentry/utf8_backend.h"

#include <algorithm>

namespace velko::input_sentry {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD"; // U+FFFD

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

std::string withValidUtf8(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t length = utf8_backend::wellFormedPrefix(text.substr(at));
        if (length > 0) {
            result.append(text.substr(at, length));
            at += length;
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
    return utf8_backend::composed(text);
}

} // namespace velko::input_sentry
