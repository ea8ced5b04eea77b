// What the text repair and the normal form of keys take from a Unicode
// library: utf8proc on Linux, CoreFoundation on macOS.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velko::input_sentry::utf8_backend {

// The length of the well-formed UTF-8 sequence at the start of non-empty
// `text`, or 0 when its first byte starts none (overlong forms, surrogates
// and values above U+10FFFF count as ill-formed).
std::size_t wellFormedPrefix(std::string_view text);

// The canonical composition (NFC) of well-formed UTF-8 `text`; `text` itself
// when the library cannot provide it (out of memory).
std::string composed(std::string_view text);

} // namespace velko::input_sentry::utf8_backend
