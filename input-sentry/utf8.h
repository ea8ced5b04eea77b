// Text from the audio system as the sentry handles it. Bundle identifiers and
// device UIDs are meant to be UTF-8 but nothing guarantees it, and one bad
// byte would make a whole "input" line unserialisable; keys compare as
// Unicode strings, so canonically equivalent spellings must meet.
#pragma once

#include <string>
#include <string_view>

namespace velko::input_sentry {

// `text` with every byte that does not start a well-formed UTF-8 sequence
// replaced by U+FFFD (one replacement per such byte). Overlong forms,
// surrogates and values above U+10FFFF count as ill-formed. Valid text comes
// back unchanged, NUL and control characters included.
std::string withValidUtf8(std::string_view text);

// The canonical composition (NFC) of valid UTF-8 `text`. Comparing the
// results byte by byte orders the texts by Unicode scalar value, and
// canonically equivalent texts give equal results.
std::string nfc(std::string_view text);

} // namespace velko::input_sentry
