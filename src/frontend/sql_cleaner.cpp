// The text cleaner behind VexloParseMain._re_hint. One left-to-right scan over the
// code points removes block comments (nested; optimiser hints are block comments
// too), line comments and the lines they leave blank. Quoted text is copied as
// written, so comment markers inside a string or a quoted identifier survive.
#include "front_end.hpp"

#include <vector>

namespace qm {
namespace {

// Receives the kept characters in order and drops every line that ends up empty
// or made only of whitespace (str.isspace()), as soon as the line is complete.
// Lines are separated by "\n" only; the kept ones are joined with "\n", with no
// newline before the first or after the last.
template <class Char>
class LineWriter {
 public:
  explicit LineWriter(Py_ssize_t capacity) { out_.reserve(static_cast<std::size_t>(capacity)); }

  void put(Char c) {
    if (c == '\n') {
      end_line();
      return;
    }
    if (!Py_UNICODE_ISSPACE(c)) blank_ = false;
    out_.push_back(c);
  }

  const std::vector<Char>& finish() {
    if (blank_) out_.resize(line_start_);
    // Lines hold no "\n", so a trailing one is the separator after the last kept line.
    if (!out_.empty() && out_.back() == '\n') out_.pop_back();
    return out_;
  }

 private:
  void end_line() {
    if (blank_) {
      out_.resize(line_start_);
    } else {
      out_.push_back('\n');
      line_start_ = out_.size();
      blank_ = true;
    }
  }

  std::vector<Char> out_;
  std::size_t line_start_ = 0;  // where the current line begins in out_
  bool blank_ = true;           // the current line has only whitespace so far
};

bool is_quote(Py_UCS4 c) { return c == '\'' || c == '"' || c == '`'; }

// Works in the input's own width: every kept character comes from the input, so
// it fits. Both characters of a marker that takes effect are used up, so neither
// can also start or end the next marker ("/*/" opens a comment and nothing more).
template <class Char>
Ref clean(PyObject* sql, const Char* text, Py_ssize_t n, int kind) {
  LineWriter<Char> out(n);
  Py_ssize_t depth = 0;  // block comments open at this point
  Py_ssize_t i = 0;
  while (i < n) {
    const Py_UCS4 c = text[i];
    const Py_UCS4 next = i + 1 < n ? text[i + 1] : 0;
    if (depth > 0) {
      // Inside a comment nothing is kept and only the two block markers count:
      // quotes and "--" are comment text.
      if (c == '/' && next == '*') {
        ++depth;
        i += 2;
      } else if (c == '*' && next == '/') {
        --depth;
        i += 2;
      } else {
        ++i;
      }
      continue;
    }
    if (c == '/' && next == '*') {
      depth = 1;
      i += 2;
      continue;
    }
    // A "*/" with no comment open is ordinary text and falls through to the copy.
    if (c == '-' && next == '-') {
      // A line comment runs to the end of its line (a "\r" before the "\n" goes
      // with it); the "\n" itself stays. Block markers inside it are comment text.
      i += 2;
      while (i < n && text[i] != '\n') ++i;
      continue;
    }
    if (is_quote(c)) {
      // Copied through the closing quote of the same kind, or to the end of the
      // text when there is none. A doubled quote inside reads as a close and an
      // immediate reopen, which copies the same characters.
      Py_ssize_t end = i + 1;
      while (end < n && text[end] != c) ++end;
      if (end < n) ++end;
      for (; i < end; ++i) out.put(text[i]);
      continue;
    }
    out.put(text[i]);
    ++i;
  }
  const std::vector<Char>& kept = out.finish();
  // Cleaning only ever removes characters: a text that kept its length is
  // unchanged, and a str is handed back as it is.
  if (static_cast<Py_ssize_t>(kept.size()) == n && PyUnicode_CheckExact(sql)) {
    return Ref::borrow(sql);
  }
  // FromKindAndData narrows the result when the widest characters were in comments.
  return checked(PyUnicode_FromKindAndData(kind, kept.data(), static_cast<Py_ssize_t>(kept.size())));
}

[[noreturn]] void reject_non_str(PyObject* sql) {
  // Something that cannot be iterated at all fails the way iterating it fails in
  // the interpreter ("'NoneType' object is not iterable").
  Ref iterator = checked(PyObject_GetIter(sql));
  raise(PyExc_TypeError, "_re_hint() argument must be str, not %.200s", Py_TYPE(sql)->tp_name);
}

}  // namespace

Ref clean_sql(PyObject* sql) {
  if (!PyUnicode_Check(sql)) reject_non_str(sql);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(sql);
  const void* data = PyUnicode_DATA(sql);
  switch (PyUnicode_KIND(sql)) {
    case PyUnicode_1BYTE_KIND:
      return clean(sql, static_cast<const Py_UCS1*>(data), n, PyUnicode_1BYTE_KIND);
    case PyUnicode_2BYTE_KIND:
      return clean(sql, static_cast<const Py_UCS2*>(data), n, PyUnicode_2BYTE_KIND);
    case PyUnicode_4BYTE_KIND:
      return clean(sql, static_cast<const Py_UCS4*>(data), n, PyUnicode_4BYTE_KIND);
  }
  raise(PyExc_SystemError, "_re_hint: unknown str storage kind");
}

}  // namespace qm
