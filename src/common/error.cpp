#include "error.hpp"

#include <cstdarg>

namespace qm {

void raise(PyObject* type, const char* format, ...) {
  va_list vargs;
  va_start(vargs, format);
  PyErr_FormatV(type, format, vargs);
  va_end(vargs);
  throw PyErrOccurred{};
}

void raise_object(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw PyErrOccurred{};
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
  }
}

}  // namespace qm
