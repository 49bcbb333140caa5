// Reading the `palette` argument into a list of RGB colours.
#include "bind/palette_arg.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "bind/errors.hpp"
#include "bind/pyref.hpp"
#include "bind/quoting.hpp"
#include "bind/text_format.hpp"
#include "core/color/hex_color.hpp"

namespace dithering {
namespace {

constexpr std::size_t MIN_COLORS = 2;
constexpr std::size_t MAX_COLORS = 4096;

constexpr const char ENTRY_KIND_MESSAGE[] =
    "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples";

bool fail_entry_kind() {
    // A broken __len__, __getitem__ or __index__ makes the entry unreadable;
    // report it as such, but never mask running out of memory.
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, ENTRY_KIND_MESSAGE);
    return false;
}

bool parse_text_entry(PyObject* entry, Rgb& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(entry, &size);
    if (!utf8) return false;
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    if (auto rgb = parse_hex_color(text)) {
        out = *rgb;
        return true;
    }
    raise(PyExc_ValueError,
          "invalid hex color " + quote_text(text) + "; expected '#rgb' or '#rrggbb'");
    return false;
}

bool parse_sequence_entry(PyObject* entry, Rgb& out) {
    if (!PySequence_Check(entry)) return fail_entry_kind();
    const Py_ssize_t count = PySequence_Size(entry);
    if (count < 0) return fail_entry_kind();
    std::vector<std::int64_t> values;
    values.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(entry, i));
        if (!item) return fail_entry_kind();
        // Exact ints and __index__ objects only: a float item is rejected.
        const long long value = PyLong_AsLongLong(item.get());
        if (value == -1 && PyErr_Occurred()) return fail_entry_kind();
        values.push_back(value);
    }
    if (values.size() != 3) {
        raise(PyExc_ValueError,
              "palette color must have exactly 3 components (r, g, b), got " +
                  std::to_string(values.size()));
        return false;
    }
    for (std::int64_t value : values) {
        if (static_cast<std::uint64_t>(value) > 255) {
            raise(PyExc_ValueError,
                  "palette color components must be in 0..=255, got " + format_list(values));
            return false;
        }
    }
    out = {static_cast<std::uint8_t>(values[0]), static_cast<std::uint8_t>(values[1]),
           static_cast<std::uint8_t>(values[2])};
    return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> parse_palette(PyObject* palette) {
    if (PyUnicode_Check(palette)) {
        PyErr_SetString(PyExc_TypeError,
                        "palette must be a sequence of colors, e.g. [\"#000\", \"#fff\"] "
                        "or [(0, 0, 0), (255, 255, 255)]");
        return std::nullopt;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(palette));
    if (!iterator) return std::nullopt;
    std::vector<std::uint8_t> colors;
    while (PyRef entry = PyRef::steal(PyIter_Next(iterator.get()))) {
        Rgb rgb;
        const bool ok = PyUnicode_Check(entry.get()) ? parse_text_entry(entry.get(), rgb)
                                                     : parse_sequence_entry(entry.get(), rgb);
        if (!ok) return std::nullopt;
        colors.insert(colors.end(), rgb.begin(), rgb.end());
    }
    if (PyErr_Occurred()) return std::nullopt;
    if (colors.size() < 3 * MIN_COLORS) {
        PyErr_SetString(PyExc_ValueError, "palette must contain at least 2 colors");
        return std::nullopt;
    }
    if (colors.size() > 3 * MAX_COLORS) {
        PyErr_SetString(PyExc_ValueError, "palette must contain at most 4096 colors");
        return std::nullopt;
    }
    return colors;
}

}  // namespace dithering
