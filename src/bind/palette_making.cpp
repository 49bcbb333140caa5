// The palette maker's entries: checks on the buffers' sizes, then the
// core's work with the interpreter released.
#include "bind/palette_making.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "bind/errors.hpp"
#include "bind/pyref.hpp"
#include "core/palettes/activity_weights.hpp"
#include "core/palettes/palette_maker.hpp"

namespace dithering {
namespace {

// A Py_buffer released on every path out.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (view.obj) PyBuffer_Release(&view);
    }
    const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(view.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view.len); }

    Py_buffer view{};
};

constexpr unsigned MAX_REFINE_STEPS = 1000;

}  // namespace

const char MAKE_PALETTE_DOC[] =
    "make_palette(pixels, stride, weights, n, refine)\n--\n\n"
    "At most n (2..4096) distinct colours for the pixels (bytes, stride bytes\n"
    "each, R, G, B first) with their weights (None, or one byte each), as\n"
    "3 bytes per colour. Use dithering_tools.make_palette.";

const char ACTIVITY_WEIGHTS_DOC[] =
    "activity_weights(pixels, height, width, channels)\n--\n\n"
    "One weight byte per pixel (1..16), larger where the picture is smooth.\n"
    "Use dithering_tools.make_palette.";

PyObject* py_make_palette(PyObject*, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        HeldBuffer pixels;
        Py_ssize_t stride = 0, n = 0, refine = 0;
        PyObject* weights_arg = nullptr;
        if (!PyArg_ParseTuple(args, "y*nOnn:make_palette", &pixels.view, &stride, &weights_arg,
                              &n, &refine)) {
            return nullptr;
        }
        if (stride < 3) return raise(PyExc_ValueError, "stride must be at least 3");
        if (n < 2 || n > 4096) return raise(PyExc_ValueError, "n must be between 2 and 4096");
        if (refine < 0 || refine > MAX_REFINE_STEPS) {
            return raise(PyExc_ValueError, "refine must be between 0 and 1000");
        }
        if (pixels.size() % static_cast<std::size_t>(stride) != 0) {
            return raise(PyExc_ValueError, "pixels must be a whole number of strides");
        }
        ColorSample sample;
        sample.pixels = pixels.bytes();
        sample.stride = static_cast<std::size_t>(stride);
        sample.count = pixels.size() / sample.stride;
        HeldBuffer weights;
        if (weights_arg != Py_None) {
            if (PyObject_GetBuffer(weights_arg, &weights.view, PyBUF_SIMPLE) < 0) return nullptr;
            if (weights.size() != sample.count) {
                return raise(PyExc_ValueError, "weights must hold one byte per pixel");
            }
            sample.weights = weights.bytes();
        }

        std::optional<std::vector<std::uint8_t>> colors;
        Py_BEGIN_ALLOW_THREADS
        colors = make_palette(sample, static_cast<std::size_t>(n), static_cast<unsigned>(refine));
        Py_END_ALLOW_THREADS
        if (!colors) return PyErr_NoMemory();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(colors->data()),
                                         static_cast<Py_ssize_t>(colors->size()));
    });
}

PyObject* py_activity_weights(PyObject*, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        HeldBuffer pixels;
        Py_ssize_t height = 0, width = 0, channels = 0;
        if (!PyArg_ParseTuple(args, "y*nnn:activity_weights", &pixels.view, &height, &width,
                              &channels)) {
            return nullptr;
        }
        if (height < 0 || width < 0 || channels < 3) {
            return raise(PyExc_ValueError, "needs height, width >= 0 and channels >= 3");
        }
        const auto h = static_cast<std::size_t>(height), w = static_cast<std::size_t>(width);
        const auto c = static_cast<std::size_t>(channels);
        if (w != 0 && (h > pixels.size() / w / c || h * w * c != pixels.size())) {
            return raise(PyExc_ValueError, "pixels must hold height x width x channels bytes");
        }
        if (w == 0 && pixels.size() != 0) {
            return raise(PyExc_ValueError, "pixels must hold height x width x channels bytes");
        }
        PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, height * width));
        if (!out) return nullptr;
        auto* weights = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        bool done = false;
        Py_BEGIN_ALLOW_THREADS
        done = activity_weights(pixels.bytes(), h, w, c, weights);
        Py_END_ALLOW_THREADS
        if (!done) return PyErr_NoMemory();
        return out.release();
    });
}

}  // namespace dithering
