// Reading path text into steps.
#include "path.hpp"

namespace qm::vexlo {

namespace {

class PathReader {
 public:
  explicit PathReader(PyObject* path)
      : path_(path),
        kind_(PyUnicode_KIND(path)),
        data_(PyUnicode_DATA(path)),
        length_(PyUnicode_GET_LENGTH(path)) {}

  std::vector<Step> read() {
    std::vector<Step> steps;
    if (length_ == 0) return steps;
    if (at() == '$') {
      ++pos_;
      expect_step_or_end("'$' must be followed by '.' or '['");
    } else if (at() != '.' && at() != '[') {
      // A relative path that begins with a member name.
      steps.push_back(Step{StepKind::kMember, read_name(), 0});
    }
    while (pos_ < length_) {
      const Py_UCS4 c = at();
      if (c == '.') {
        read_dot_step(steps);
      } else if (c == '[') {
        read_index_step(steps);
      } else {
        fail("expected '.' or '['");
      }
    }
    return steps;
  }

 private:
  Py_UCS4 at() const { return PyUnicode_READ(kind_, data_, pos_); }
  bool at_end() const { return pos_ >= length_; }

  [[noreturn]] void fail(const char* reason) const {
    raise(PyExc_ValueError, "cannot read path %R: %s at position %zd", path_, reason, pos_);
  }

  void expect_step_or_end(const char* reason) const {
    if (!at_end() && at() != '.' && at() != '[') fail(reason);
  }

  void read_dot_step(std::vector<Step>& steps) {
    ++pos_;
    const bool descendant = !at_end() && at() == '.';
    if (descendant) ++pos_;
    if (at_end()) fail("a name must follow '.'");
    if (at() == '$') {
      if (descendant) fail("'$' cannot follow '..'");
      ++pos_;
      expect_step_or_end("'$' must be followed by '.' or '['");
      steps.push_back(Step{StepKind::kRoot, Ref(), 0});
      return;
    }
    steps.push_back(Step{descendant ? StepKind::kDescendant : StepKind::kMember, read_name(), 0});
  }

  void read_index_step(std::vector<Step>& steps) {
    ++pos_;
    const Py_ssize_t start = pos_;
    Py_ssize_t index = 0;
    while (!at_end() && at() >= '0' && at() <= '9') {
      const Py_ssize_t digit = static_cast<Py_ssize_t>(at() - '0');
      // Positions past any possible list all mean "no such element".
      index = index > (PY_SSIZE_T_MAX - digit) / 10 ? PY_SSIZE_T_MAX : index * 10 + digit;
      ++pos_;
    }
    if (pos_ == start) fail("expected a list position");
    if (at_end() || at() != ']') fail("expected ']'");
    ++pos_;
    steps.push_back(Step{StepKind::kIndex, Ref(), index});
  }

  Ref read_name() {
    if (at() == '\'') return read_quoted();
    const Py_ssize_t start = pos_;
    while (!at_end()) {
      const Py_UCS4 c = at();
      if (c == '.' || c == '[' || c == ']' || c == '\'') break;
      ++pos_;
    }
    if (pos_ == start) fail("expected a name");
    return checked(PyUnicode_Substring(path_, start, pos_));
  }

  Ref read_quoted() {
    const Py_ssize_t open = pos_;
    ++pos_;
    std::vector<Py_UCS4> text;
    for (;;) {
      if (at_end()) {
        pos_ = open;
        fail("unterminated quoted name");
      }
      Py_UCS4 c = at();
      ++pos_;
      if (c == '\'') break;
      if (c == '\\') {
        if (at_end() || (at() != '\'' && at() != '\\')) {
          --pos_;
          fail("a backslash in a quoted name must escape ' or \\");
        }
        c = at();
        ++pos_;
      }
      text.push_back(c);
    }
    return checked(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                             static_cast<Py_ssize_t>(text.size())));
  }

  PyObject* path_;
  int kind_;
  const void* data_;
  Py_ssize_t length_;
  Py_ssize_t pos_ = 0;
};

}  // namespace

std::vector<Step> parse_path(PyObject* path) { return PathReader(path).read(); }

bool is_plain_identifier(PyObject* key) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
  if (length == 0) return false;
  const int kind = PyUnicode_KIND(key);
  const void* data = PyUnicode_DATA(key);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!(letter || (digit && i > 0))) return false;
  }
  return true;
}

}  // namespace qm::vexlo
