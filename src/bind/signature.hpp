// A function's parameter list, and the check that its documented text
// signature names the same parameters. Plain C++ with no Python in it, so
// that the core tests can hold the check to its rules.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace dithering {

// A function's parameter list. Every function here has one required
// positional-or-keyword parameter (`image`), at most one optional one, and
// optional keyword-only parameters, none positional-only.
struct Signature {
    const char* function;
    std::span<const char* const> positional;
    std::span<const char* const> keyword_only;

    constexpr std::size_t size() const { return positional.size() + keyword_only.size(); }
};

// Whether `text` holds `expected` at `at`, compared character by character:
// the library's searches and comparisons are not constant expressions under
// every sanitizer build (GCC's UBSan rejects their pointer tests).
constexpr bool text_at(std::string_view text, std::size_t at, std::string_view expected) {
    if (at > text.size() || text.size() - at < expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (text[at + i] != expected[i]) return false;
    }
    return true;
}

// Whether the text signature that opens `doc` ("name(a, b=..., *, c=...)",
// what help() and inspect.signature show) lists exactly the parameters of
// `signature`, in order, with the "*" between the positional and the
// keyword-only ones. Each entry point checks this at compile time, so the
// names its arguments are matched by cannot drift from its documented ones.
// Defaults are skipped, quoted text included.
constexpr bool documents(const Signature& signature, std::string_view doc) {
    const std::string_view function(signature.function);
    if (!text_at(doc, 0, function) || !text_at(doc, function.size(), "(")) return false;
    std::size_t at = function.size() + 1;
    std::size_t index = 0;  // of the next parameter, over both lists
    bool keyword_only = false;
    while (at < doc.size() && doc[at] != ')') {
        // The parameter runs to the next separator outside quotes; its name
        // to the first '=' or that separator.
        std::size_t end = at;
        std::size_t name_end = 0;
        char quote = 0;
        while (end < doc.size() && (quote || (doc[end] != ',' && doc[end] != ')'))) {
            if (quote && doc[end] == quote) {
                quote = 0;
            } else if (!quote && (doc[end] == '\'' || doc[end] == '"')) {
                quote = doc[end];
            } else if (!quote && doc[end] == '=' && name_end == 0) {
                name_end = end;
            }
            ++end;
        }
        if (name_end == 0) name_end = end;
        const std::size_t length = name_end - at;
        if (length == 1 && doc[at] == '*') {
            if (keyword_only || index != signature.positional.size()) return false;
            keyword_only = true;
        } else {
            const bool in_keywords = index >= signature.positional.size();
            if (index >= signature.size() || in_keywords != keyword_only) return false;
            const std::string_view expected(
                in_keywords ? signature.keyword_only[index - signature.positional.size()]
                            : signature.positional[index]);
            if (length != expected.size() || !text_at(doc, at, expected)) return false;
            ++index;
        }
        at = end;
        if (at < doc.size() && doc[at] == ',') {
            at += text_at(doc, at, ", ") ? std::size_t{2} : std::size_t{1};
        }
    }
    return at < doc.size() && index == signature.size() &&
           keyword_only == !signature.keyword_only.empty();
}

}  // namespace dithering
