// OnceCache: a process-wide value filled by the first caller that succeeds.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace dithering {

// The filler calls into Python (imports, allocations), and on a GIL build an
// import may hand the GIL to another thread, while on a free-threaded build
// a blocked thread that stays attached would stall the collector's
// stop-the-world. So a waiting thread detaches from the interpreter before
// it blocks on the mutex and re-attaches after, the same discipline the
// interpreter's own locks follow. A failed fill leaves the cache empty with
// the exception set, and the next caller tries again.
template <class T>
class OnceCache {
public:
    // `fill` runs attached, under the mutex, and returns a non-null T on
    // success or a null T with a Python exception set.
    template <class Fill>
    T get(Fill fill) {
        if (T value = value_.load(std::memory_order_acquire)) return value;
        PyThreadState* state = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(state);
        T value = value_.load(std::memory_order_acquire);
        if (!value) {
            value = fill();
            if (value) value_.store(value, std::memory_order_release);
        }
        mutex_.unlock();
        return value;
    }

private:
    std::atomic<T> value_{};
    std::mutex mutex_;
};

}  // namespace dithering
