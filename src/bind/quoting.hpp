// The double-quoted form in which messages show a caller's text.
#pragma once

#include <string>
#include <string_view>

namespace dithering {

// `"` + text + `"`, with backslash, double quote, tab, carriage return, line
// feed and NUL written as \\ \" \t \r \n \0, and every other character that
// is not printable or is a grapheme extender as \u{hex} (lower case, no
// leading zeros). Single quotes and printable characters stay as they are.
// `utf8` must be valid UTF-8 (what the interpreter hands out for a str).
std::string quote_text(std::string_view utf8);

}  // namespace dithering
