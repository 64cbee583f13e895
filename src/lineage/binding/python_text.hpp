// Between str and UTF-8 text.
#pragma once

#include <string_view>

#include "common/error.hpp"

namespace lineage::binding {

// A str's UTF-8 text as a view, valid while the str lives.
inline std::string_view utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw qm::PyErrOccurred{};
  return {data, static_cast<std::size_t>(size)};
}

// UTF-8 text as a str; bytes that are not UTF-8 are kept by surrogateescape.
inline qm::Ref text_string(std::string_view text) {
  return qm::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

}  // namespace lineage::binding
