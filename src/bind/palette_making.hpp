// dithering_tools._native's palette maker and activity weights: byte
// buffers in, bytes out, the interpreter released around the work.
#pragma once

#include <Python.h>

namespace dithering {

// make_palette(pixels, stride, weights, n, refine) -> bytes
PyObject* py_make_palette(PyObject* module, PyObject* args);
// activity_weights(pixels, height, width, channels) -> bytes
PyObject* py_activity_weights(PyObject* module, PyObject* args);

extern const char MAKE_PALETTE_DOC[];
extern const char ACTIVITY_WEIGHTS_DOC[];

}  // namespace dithering
