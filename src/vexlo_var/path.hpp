// Path text of the tree query, read into steps.
//
//   path   := ["$"] step*          a path without the leading "$" starts at the root too,
//                                  and may begin with a name ("select.value")
//   step   := "." name             that member of a mapping
//           | ".." name            that member at any depth
//           | "." "$"              the root again
//           | "[" digits "]"       that position of a list or tuple
//   name   := bare | "'" quoted "'"
//   bare   := one or more characters other than . [ ] ' that does not start with $
//   quoted := characters, with \' for a quote and \\ for a backslash
#pragma once
#include "common/error.hpp"

#include <vector>

namespace qm::vexlo {

enum class StepKind { kRoot, kMember, kDescendant, kIndex };

struct Step {
  StepKind kind;
  Ref name;              // kMember, kDescendant
  Py_ssize_t index = 0;  // kIndex; PY_SSIZE_T_MAX stands for any larger number
};

// The steps of `path` (a str); ValueError naming the path when it cannot be read.
std::vector<Step> parse_path(PyObject* path);

// True for [A-Za-z_][A-Za-z0-9_]*, the keys a path may write without quotes.
bool is_plain_identifier(PyObject* key);

}  // namespace qm::vexlo
