// The quoted form of a caller's text and the narrowing of doubles, which the
// binding's messages and conversions use.
#include <cmath>
#include <string>

#include "check.hpp"
#include "bind/quoting.hpp"
#include "bind/text_format.hpp"

using namespace dithering;

CORE_TEST(quote_text_escapes) {
    CHECK(quote_text("bogus") == "\"bogus\"");
    CHECK(quote_text("a\"b\\c") == "\"a\\\"b\\\\c\"");
    CHECK(quote_text(std::string("\t\r\n\0'", 5)) == "\"\\t\\r\\n\\0'\"");
    CHECK(quote_text("\x7f\x1b") == "\"\\u{7f}\\u{1b}\"");
    CHECK(quote_text("e\xCC\x81") == "\"e\\u{301}\"");        // combining acute
    CHECK(quote_text("\xC3\xA9\xE2\x82\xAC") == "\"\xC3\xA9\xE2\x82\xAC\"");  // printable
    CHECK(quote_text("\xE2\x80\x8B") == "\"\\u{200b}\"");     // zero-width space
    CHECK(quote_text("a b") == "\"a b\"");
    CHECK(quote_text("\xC2\xA0") == "\"\\u{a0}\"");           // no-break space
}

CORE_TEST(narrow_to_float_rounds_and_overflows) {
    CHECK(narrow_to_float(1.00000001) == 1.0f);
    CHECK(std::isinf(narrow_to_float(1e300)));
    // Just below the halfway point to 2^128 rounds down to the largest
    // float; the halfway point itself rounds (to even) up to infinity.
    CHECK(narrow_to_float(3.40282356e38) == 3.4028234663852886e38f);
    CHECK(std::isinf(narrow_to_float(3.4028235677973366e38)));
}
