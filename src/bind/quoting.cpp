// Escaping a caller's text for display inside an error message.
#include "bind/quoting.hpp"

#include <cstdint>
#include <cstdio>

#include "bind/printable_tables.hpp"

namespace dithering {
namespace {

// Length of the UTF-8 sequence that starts with `lead`; 1 for a stray byte,
// which is then shown as its own escape rather than read past the end.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead >> 5) == 0x6) return 2;
    if ((lead >> 4) == 0xE) return 3;
    if ((lead >> 3) == 0x1E) return 4;
    return 1;
}

std::uint32_t decode(std::string_view seq) {
    const auto lead = static_cast<unsigned char>(seq[0]);
    if (seq.size() == 1) return lead;
    std::uint32_t cp = lead & (0x7Fu >> seq.size());
    for (std::size_t i = 1; i < seq.size(); ++i) {
        cp = (cp << 6) | (static_cast<unsigned char>(seq[i]) & 0x3Fu);
    }
    return cp;
}

}  // namespace

std::string quote_text(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::size_t len = sequence_length(static_cast<unsigned char>(utf8[i]));
        if (i + len > utf8.size()) len = 1;
        const std::string_view seq = utf8.substr(i, len);
        i += len;
        const std::uint32_t cp = decode(seq);
        switch (cp) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (needs_escape(cp)) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
            out += hex;
        } else {
            out += seq;
        }
    }
    out += '"';
    return out;
}

}  // namespace dithering
