// Includes NumPy's C API for a binding file that uses it.
//
// The API table is one process-wide pointer, filled lazily by
// ensure_numpy_api(); every file that calls a NumPy function must have
// called ensure_numpy_api() successfully first in the same call.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL dithering_ARRAY_API
#ifndef DITHERING_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
