// The shared front half of every dithering call.
#include "bind/prepare.hpp"

#include <string>
#include <utility>
#include <vector>

#include "bind/errors.hpp"
#include "bind/float_text.hpp"
#include "bind/intake.hpp"
#include "bind/palette_arg.hpp"

namespace dithering {

std::optional<Prepared> prepare(PyObject* image, const CommonOptions& options,
                                BorrowedPixels* borrow) {
    // Written so that NaN fails too.
    if (!(options.strength >= 0.0f && options.strength <= 1.0f)) {
        const std::optional<std::string> got = float_text(options.strength);
        if (got) raise(PyExc_ValueError, "strength must be between 0.0 and 1.0, got " + *got);
        return std::nullopt;
    }
    if (options.levels < 2 || options.levels > 256) {
        raise(PyExc_ValueError,
              "levels must be between 2 and 256, got " + std::to_string(options.levels));
        return std::nullopt;
    }
    // There is no "levels given" flag: 2 is the default, so only another
    // value conflicts with a palette.
    if (options.levels != 2 && options.palette) {
        PyErr_SetString(PyExc_ValueError, "pass either levels or palette, not both");
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> colors;
    if (options.palette) {
        colors = parse_palette(options.palette);
        if (!colors) return std::nullopt;
    }

    std::optional<ImageArg> arg = extract_image(image, borrow);
    if (!arg) return std::nullopt;
    Img& img = arg->img;
    if (options.preserve_alpha && img.shape.size() == 3 &&
        (img.channels == 2 || img.channels == 4)) {
        img.alpha = img.channels - 1;
    }
    if (colors && img.channels < 3) {
        PyErr_SetString(PyExc_ValueError,
                        "palette dithering needs an RGB or RGBA image; for grayscale use "
                        "`levels`, or stack to RGB with np.dstack([img] * 3)");
        return std::nullopt;
    }

    const ColorSpace space = ColorSpace::create(options.linear);
    if (!colors) {
        return Prepared{std::move(img), Levels::create(options.levels, space), space,
                        options.strength, std::move(arg->mode)};
    }
    std::optional<Palette> palette = Palette::create(std::move(*colors), space);
    if (!palette) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    return Prepared{std::move(img), std::move(*palette), space, options.strength,
                    std::move(arg->mode)};
}

}  // namespace dithering
