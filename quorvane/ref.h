// Owned references to Python objects.
//
// Rules of use:
//  - A `Ref` owns exactly one strong reference, or nothing.
//  - `Ref::steal(p)` takes over a new reference that the caller received
//    (a `PyObject_*` result); `Ref::borrow(p)` increments a borrowed one.
//  - `get()` lends the pointer; the Ref keeps ownership.
//  - `release()` hands the reference back to the caller, typically in
//    `return result.release();` at a C API boundary.
//  - Refs move, they never copy: a copy would hide an incref.
//  - Borrowed references stay plain `PyObject *`.
//  - Slots, getters, setters and vectorcall entries take and return
//    `PyObject *` / `int`, never a Ref: on 32-bit x86 a returned class with
//    a destructor travels through a hidden pointer and the ABI no longer
//    matches what the interpreter expects.
#pragma once

#include <Python.h>

namespace qv {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref &operator=(Ref &&other) noexcept {
        reset(other.p_);
        other.p_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] static Ref steal(PyObject *p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    [[nodiscard]] PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }

    // The field is updated before the old value is released: releasing can
    // run arbitrary code, which must not see the stale pointer.
    void reset(PyObject *stolen = nullptr) noexcept {
        PyObject *old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace qv
