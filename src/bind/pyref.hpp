// PyRef: owns exactly one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace dithering {

// Rules of use:
// - `PyRef::steal(p)` takes over a new reference that an API returned
//   (p may be null: a failed call, checked with `if (!ref)`).
// - `PyRef::borrow(p)` takes a new reference of its own to a borrowed p.
// - `get()` lends the pointer; `release()` hands the reference to the caller.
// Move-only: a copy would have to choose between these, so there is none.
class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    static PyRef steal(PyObject* ptr) { return PyRef(ptr); }
    static PyRef borrow(PyObject* ptr) {
        Py_XINCREF(ptr);
        return PyRef(ptr);
    }

    PyObject* get() const { return ptr_; }
    PyObject* release() { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const { return ptr_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit PyRef(PyObject* ptr) : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace dithering
