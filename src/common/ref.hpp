// Owning reference to a Python object: the one place where reference counts are kept.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qm {

// Holds one strong reference. No implicit conversion from or to PyObject*: every
// call site says once whether a pointer is new (steal) or borrowed (borrow).
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(const Ref& other) noexcept {
    // Take the new reference before dropping the old one: the old object's
    // destructor may run arbitrary code that drops the last reference to the new.
    PyObject* old = p_;
    p_ = other.p_;
    Py_XINCREF(p_);
    Py_XDECREF(old);
    return *this;
  }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (a return value, PyTuple_SET_ITEM, ...).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace qm
