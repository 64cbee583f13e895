#include "error.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>

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

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::uintptr_t kStackReserve = 2u << 20;  // sanitizer frames are much larger
#else
constexpr std::uintptr_t kStackReserve = 256u << 10;
#endif

// Lowest usable address of the calling thread's stack; 0 when it cannot be told.
std::uintptr_t stack_limit() noexcept {
  thread_local std::uintptr_t limit = [] {
    std::uintptr_t low = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        // A thread started with a small stack keeps half of it usable.
        const std::uintptr_t reserve = std::min<std::uintptr_t>(kStackReserve, size / 2);
        low = reinterpret_cast<std::uintptr_t>(addr) + reserve;
      }
      pthread_attr_destroy(&attr);
    }
    return low;
  }();
  return limit;
}

}  // namespace

bool native_stack_nearly_exhausted() noexcept {
  const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const std::uintptr_t limit = stack_limit();
  return limit != 0 && here < limit;
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
