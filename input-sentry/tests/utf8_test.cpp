// Text from the audio system: repair of ill-formed UTF-8, and the normal
// form in which keys are compared.
#include "input-sentry/utf8.h"

#include <gtest/gtest.h>

using velko::input_sentry::nfc;
using velko::input_sentry::withValidUtf8;

namespace {
const std::string fffd = "\xEF\xBF\xBD";
}

TEST(WithValidUtf8, ReplacesEachBadByteAndKeepsEverythingElse) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"com.example.App", "com.example.App"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA4", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA4"},
        {std::string("a\0b\x01\x7f", 5), std::string("a\0b\x01\x7f", 5)},
        {"a\xFF"
         "b",
         "a" + fffd + "b"},
        {"\x80", fffd},                                  // lone continuation byte
        {"\xC0\xAF", fffd + fffd},                       // overlong "/"
        {"\xE0\x80\x80", fffd + fffd + fffd},            // overlong NUL
        {"\xED\xA0\x80", fffd + fffd + fffd},            // a UTF-16 surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
        {"App\xE2\x82", "App" + fffd + fffd},            // cut short at the end
        {"\xE2\x82"
         "A",
         fffd + fffd + "A"}, // cut short before ASCII
        {"\xC3\xA9\xC3", "\xC3\xA9" + fffd},
    };
    for (const auto& c : cases) EXPECT_EQ(withValidUtf8(c.in), c.out) << c.in;
}

TEST(Nfc, CanonicallyEquivalentSpellingsMeet) {
    // e + combining acute, and the precomposed letter.
    EXPECT_EQ(nfc("Cafe\xCC\x81"), "Caf\xC3\xA9");
    EXPECT_EQ(nfc("Caf\xC3\xA9"), "Caf\xC3\xA9");
    // Two combining marks in either order (different classes) are equivalent.
    EXPECT_EQ(nfc("a\xCC\x81\xCC\xA3"), nfc("a\xCC\xA3\xCC\x81"));
    // A singleton: the Ohm sign is canonically the Greek capital omega.
    EXPECT_EQ(nfc("\xE2\x84\xA6"), "\xCE\xA9");
    // Compatibility forms stay apart: the "fi" ligature is not "fi".
    EXPECT_EQ(nfc("\xEF\xAC\x81"), "\xEF\xAC\x81");
    // A NUL does not end the text.
    EXPECT_EQ(nfc(std::string("e\0e\xCC\x81", 5)), std::string("e\0\xC3\xA9", 4));
}

TEST(Nfc, BytesOrderByScalarValue) {
    // U+FF61 comes before U+10000 by scalar value, though a comparison of
    // UTF-16 code units would put the surrogate pair first.
    EXPECT_LT(nfc("\xEF\xBD\xA1"), nfc("\xF0\x90\x80\x80"));
    EXPECT_LT(nfc("Z"), nfc("a"));
    EXPECT_LT(nfc("\x7f"), nfc("\xC2\x80"));
}
