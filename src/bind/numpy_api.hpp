// Lazy, once-per-process loading of NumPy's C API table.
#pragma once

namespace dithering {

// Loads the table on first use (importing numpy) and returns true; on
// failure returns false with the underlying exception set (the import
// error, or ImportError with NumPy's own compatibility message), and the
// next call tries again. Safe when several threads race on the first call.
bool ensure_numpy_api();

}  // namespace dithering
