// The text seam on macOS: CoreFoundation's own UTF-8 decoder decides what is
// well-formed, and CFStringNormalize composes, so that keys compare as the
// platform's strings do.
#include "input-sentry/utf8.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>

namespace velko::input_sentry {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD"; // U+FFFD

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A +1 string from UTF-8 bytes, or null when they are not well-formed UTF-8.
CFStringRef makeString(std::string_view bytes) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false);
}

bool isWellFormed(std::string_view bytes) {
    CFStringRef string = makeString(bytes);
    if (string == nullptr) return false;
    CFRelease(string);
    return true;
}

// How many bytes the sequence that `lead` starts claims: the length bits of
// the lead byte alone. Whether the sequence holds is for the decoder to say.
std::size_t claimedLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

std::string utf8Of(CFStringRef string) {
    CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex size = 0;
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(bytes.data()), size, &size);
    bytes.resize(static_cast<std::size_t>(size));
    return bytes;
}

} // namespace

std::string withValidUtf8(std::string_view text) {
    if (isAscii(text) || isWellFormed(text)) return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t length = claimedLength(static_cast<unsigned char>(text[at]));
        if (length > 0 && at + length <= text.size() && (length == 1 || isWellFormed(text.substr(at, length)))) {
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
    CFStringRef string = makeString(text);
    if (string == nullptr) return std::string(text);
    CFMutableStringRef composed = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string);
    CFRelease(string);
    // Only an allocation failure leaves no copy; the text as it stands is
    // then the best comparison there is.
    if (composed == nullptr) return std::string(text);
    CFStringNormalize(composed, kCFStringNormalizationFormC);
    std::string result = utf8Of(composed);
    CFRelease(composed);
    return result;
}

} // namespace velko::input_sentry
