// The check that a documented text signature names the parameters the
// arguments are matched by.
#include <string_view>

#include "check.hpp"
#include "bind/signature.hpp"

using namespace dithering;

namespace {

constexpr const char* IMAGE_AND_METHOD[] = {"image", "method"};
constexpr const char* IMAGE_ONLY[] = {"image"};
constexpr const char* KEYWORDS[] = {"levels", "seed"};
constexpr Signature WITH_METHOD{"f", IMAGE_AND_METHOD, KEYWORDS};
constexpr Signature IMAGE_AND_KEYWORDS{"f", IMAGE_ONLY, KEYWORDS};
constexpr Signature NO_KEYWORDS{"f", IMAGE_ONLY, {}};

// The entry points assert this at compile time; the same holds at run time.
static_assert(documents(WITH_METHOD, "f(image, method=\"a, b)\", *, levels=2, seed=None)\n--"));

}  // namespace

CORE_TEST(documents_accepts_the_same_parameters) {
    CHECK(documents(WITH_METHOD, "f(image, method='x', *, levels=2, seed=None)\n--\n\nText."));
    CHECK(documents(IMAGE_AND_KEYWORDS, "f(image, *, levels=2, seed=None)"));
    CHECK(documents(NO_KEYWORDS, "f(image)"));
    // Quoted defaults may hold the separators.
    CHECK(documents(WITH_METHOD, "f(image, method='a=b, *)', *, levels=2, seed=None)"));
}

CORE_TEST(documents_rejects_any_drift) {
    const std::string_view drifted[] = {
        "g(image, method='x', *, levels=2, seed=None)",      // another function
        "f (image, method='x', *, levels=2, seed=None)",     // not its opening
        "f(image, method='x', *, seed=None, levels=2)",      // keywords reordered
        "f(image, method='x', *, levels=2)",                 // one missing
        "f(image, method='x', *, levels=2, seed=None, x=1)", // one extra
        "f(image, method='x', levels=2, *, seed=None)",      // keyword made positional
        "f(image, *, method='x', levels=2, seed=None)",      // positional made keyword
        "f(image, method='x', levels=2, seed=None)",         // no "*"
        "f(image, method='x', *, *, levels=2, seed=None)",   // two
        "f(img, method='x', *, levels=2, seed=None)",        // renamed
        "f(image, method='x', *, levels=2, seed=None",       // unterminated
        "f(image, method='x, *, levels=2, seed=None)",       // unterminated quote
    };
    for (const std::string_view doc : drifted) CHECK(!documents(WITH_METHOD, doc));
    CHECK(!documents(NO_KEYWORDS, "f(image, *)"));
    CHECK(!documents(IMAGE_AND_KEYWORDS, "f(image)"));
}
