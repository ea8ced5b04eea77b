// The Unicode library of the Apple build: CoreFoundation's own UTF-8 decoder
// decides what is well-formed, and CFStringNormalize composes, so that keys
// compare as the platform's strings do.
#include "input-sentry/utf8_backend.h"

#include <CoreFoundation/CoreFoundation.h>

namespace velko::input_sentry::utf8_backend {
namespace {

// A +1 string from UTF-8 bytes, or null when they are not well-formed UTF-8.
CFStringRef makeString(std::string_view bytes) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false);
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

std::size_t wellFormedPrefix(std::string_view text) {
    std::size_t length = claimedLength(static_cast<unsigned char>(text.front()));
    if (length <= 1 || length > text.size()) return length == 1 ? 1 : 0;
    CFStringRef string = makeString(text.substr(0, length));
    if (string == nullptr) return 0;
    CFRelease(string);
    return length;
}

std::string composed(std::string_view text) {
    CFStringRef string = makeString(text);
    if (string == nullptr) return std::string(text);
    CFMutableStringRef mutableString = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string);
    CFRelease(string);
    // Only an allocation failure leaves no copy; the text as it stands is
    // then the best comparison there is.
    if (mutableString == nullptr) return std::string(text);
    CFStringNormalize(mutableString, kCFStringNormalizationFormC);
    std::string result = utf8Of(mutableString);
    CFRelease(mutableString);
    return result;
}

} // namespace velko::input_sentry::utf8_backend
