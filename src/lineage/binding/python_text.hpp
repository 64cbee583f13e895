// A str's UTF-8 text as a view, valid while the str lives.
#pragma once

#include <string_view>

#include "common/error.hpp"

namespace lineage::binding {

inline std::string_view utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw qm::PyErrOccurred{};
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace lineage::binding
