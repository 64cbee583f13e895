// Evaluating a path over a tree: depth first, so the matches come out in the order
// of the steps (each step applied to every match of the one before it, in turn),
// and a first-only query stops at the first one.
#include "tree_query.hpp"

#include "path.hpp"
#include "path_cache.hpp"
#include "path_match.hpp"

#include <vector>

namespace qm::vexlo {

namespace {

bool is_branch(PyObject* node) {
  return PyDict_Check(node) || PyList_Check(node) || PyTuple_Check(node);
}

// Element `index` of a list or tuple (an empty Ref when absent or not a sequence).
Ref element(PyObject* node, Py_ssize_t index) {
  if (PyList_Check(node)) {
    if (index >= PyList_GET_SIZE(node)) return Ref();
    return Ref::borrow(PyList_GET_ITEM(node, index));
  }
  if (PyTuple_Check(node)) {
    if (index >= PyTuple_GET_SIZE(node)) return Ref();
    return Ref::borrow(PyTuple_GET_ITEM(node, index));
  }
  return Ref();
}

// Member `name` of a mapping (an empty Ref when absent or not a mapping).
Ref member(PyObject* node, PyObject* name) {
  if (!PyDict_Check(node)) return Ref();
  PyObject* found = nullptr;
  check(PyDict_GetItemRef(node, name, &found));
  return Ref::steal(found);
}

// The way from the root to the current node. Keys are borrowed: the frames that
// pushed them hold them. A match keeps the way as a chain of (parent, step) pairs,
// made once per segment and shared by every match below it; its text is written
// only when someone reads the match's full_path. A first-only query returns the
// node alone, so its trail keeps nothing.
class Trail {
 public:
  struct Mark {
    std::size_t size;
    std::size_t base;
  };

  explicit Trail(bool kept) : kept_(kept) {
    // Deep enough for the trees of most statements without growing on the way.
    if (kept_) segments_.reserve(16);
  }

  Mark mark() const { return Mark{segments_.size(), base_}; }
  void restore(Mark m) {
    if (!kept_) return;
    segments_.resize(m.size);
    base_ = m.base;
  }
  void push_key(PyObject* key) {
    if (kept_) segments_.push_back(Segment{key, 0, Ref()});
  }
  void push_index(Py_ssize_t index) {
    if (kept_) segments_.push_back(Segment{nullptr, index, Ref()});
  }
  // Back at the root: what came before no longer belongs to the path.
  void reset() {
    if (kept_) base_ = segments_.size();
  }

  // The chain for the current node: None at the root, else (parent chain, key or
  // position) for the last segment.
  Ref chain() {
    PyObject* parent = Py_None;
    for (std::size_t i = base_; i < segments_.size(); ++i) {
      Segment& segment = segments_[i];
      if (!segment.node) {
        Ref step = segment.key != nullptr ? Ref::borrow(segment.key)
                                          : checked(PyLong_FromSsize_t(segment.index));
        segment.node = checked(PyTuple_Pack(2, parent, step.get()));
      }
      parent = segment.node.get();
    }
    return Ref::borrow(parent);
  }

 private:
  struct Segment {
    PyObject* key;     // nullptr for a list position
    Py_ssize_t index;
    Ref node;          // this segment's link of the chain, once a match needed it
  };
  const bool kept_;
  std::vector<Segment> segments_;
  std::size_t base_ = 0;
};

class Writer {
 public:
  // First pass counts, second writes, so the str is made once at its final size.
  explicit Writer(PyObject* target) : target_(target) {
    if (target != nullptr) {
      kind_ = PyUnicode_KIND(target);
      data_ = PyUnicode_DATA(target);
    }
  }
  void put(Py_UCS4 c) {
    if (target_ != nullptr) PyUnicode_WRITE(kind_, data_, length_, c);
    ++length_;
    if (c > max_char_) max_char_ = c;
  }
  void put_ascii(const char* text) {
    for (; *text != '\0'; ++text) put(static_cast<Py_UCS4>(*text));
  }
  void put_key(PyObject* key) {
    const int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    for (Py_ssize_t i = 0; i < length; ++i) put(PyUnicode_READ(kind, data, i));
  }
  void put_quoted_key(PyObject* key) {
    put('\'');
    const int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    for (Py_ssize_t i = 0; i < length; ++i) {
      const Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (c == '\'' || c == '\\') put('\\');
      put(c);
    }
    put('\'');
  }
  Py_ssize_t length() const { return length_; }
  Py_UCS4 max_char() const { return max_char_; }

 private:
  PyObject* target_;
  int kind_ = 0;
  void* data_ = nullptr;
  Py_ssize_t length_ = 0;
  Py_UCS4 max_char_ = 0x7f;
};

}  // namespace

Ref path_text(PyObject* chain) {
  // Borrowed from the chain, root first once reversed; whether a key may be written
  // bare is decided once for both passes.
  struct Written {
    PyObject* step;
    bool bare;
  };
  std::vector<Written> steps;
  steps.reserve(8);
  for (PyObject* link = chain; link != Py_None; link = PyTuple_GET_ITEM(link, 0)) {
    PyObject* step = PyTuple_GET_ITEM(link, 1);
    steps.push_back(Written{step, !PyLong_Check(step) && is_plain_identifier(step)});
  }
  auto write = [&steps](Writer& out) {
    if (steps.empty()) {
      out.put('$');
      return;
    }
    for (std::size_t n = steps.size(); n-- > 0;) {
      PyObject* step = steps[n].step;
      const bool leading = n + 1 == steps.size();
      if (PyLong_Check(step)) {
        // A path cannot begin with a bare position after "$.", so it names the root.
        if (leading) out.put('$');
        char digits[32];
        PyOS_snprintf(digits, sizeof digits, "[%zd]", PyLong_AsSsize_t(step));
        out.put_ascii(digits);
      } else {
        if (!leading) out.put('.');
        if (steps[n].bare) {
          out.put_key(step);
        } else {
          out.put_quoted_key(step);
        }
      }
    }
  };
  Writer sizing(nullptr);
  write(sizing);
  Ref result = checked(PyUnicode_New(sizing.length(), sizing.max_char()));
  Writer out(result.get());
  write(out);
  return result;
}

namespace {

class Query {
 public:
  Query(const ModuleState& state, PyObject* root, const std::vector<Step>& steps, bool first_only)
      : state_(state), root_(root), steps_(steps), first_only_(first_only), trail_(!first_only) {
    if (!first_only_) matches_ = checked(PyList_New(0));
  }

  Ref run() {
    evaluate(0, Ref::borrow(root_));
    if (first_only_) return found_ ? std::move(found_) : Ref::borrow(Py_None);
    return std::move(matches_);
  }

 private:
  // Applies steps[i...] to `node`; true once a first-only query has its answer.
  // The single-result steps loop here; only ".." branches.
  bool evaluate(std::size_t i, Ref node) {
    const Trail::Mark mark = trail_.mark();
    bool stop = false;
    for (; i < steps_.size(); ++i) {
      const Step& step = steps_[i];
      if (step.kind == StepKind::kDescendant) {
        stop = descend(i + 1, node.get(), step.name.get());
        trail_.restore(mark);
        return stop;
      }
      if (step.kind == StepKind::kRoot) {
        node = Ref::borrow(root_);
        trail_.reset();
        continue;
      }
      node = step.kind == StepKind::kMember ? member(node.get(), step.name.get())
                                            : element(node.get(), step.index);
      if (!node) {
        trail_.restore(mark);
        return false;
      }
      if (step.kind == StepKind::kMember) {
        trail_.push_key(step.name.get());
      } else {
        trail_.push_index(step.index);
      }
    }
    stop = emit(node);
    trail_.restore(mark);
    return stop;
  }

  // Every member `name` at or below `node`: the node's own first, then the same
  // search inside each of its members in order (list elements by position).
  bool descend(std::size_t next, PyObject* node, PyObject* name) {
    RecursionGuard guard(" while searching a tree");
    const Trail::Mark mark = trail_.mark();
    if (PyDict_Check(node)) {
      if (Ref own = member(node, name)) {
        trail_.push_key(name);
        const bool stop = evaluate(next, std::move(own));
        trail_.restore(mark);
        if (stop) return true;
      }
      Py_ssize_t pos = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(node, &pos, &key, &value)) {
        // A key that is not a str cannot be written in a path, so nothing under it
        // could be found again from its full_path.
        if (!PyUnicode_Check(key) || !is_branch(value)) continue;
        Ref held_key = Ref::borrow(key);
        Ref child = Ref::borrow(value);
        trail_.push_key(held_key.get());
        const bool stop = descend(next, child.get(), name);
        trail_.restore(mark);
        if (stop) return true;
      }
      return false;
    }
    const bool is_list = PyList_Check(node);
    if (!is_list && !PyTuple_Check(node)) return false;
    // A list may change length under Python code run by a key comparison.
    for (Py_ssize_t index = 0;; ++index) {
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(node) : PyTuple_GET_SIZE(node);
      if (index >= size) break;
      Ref child = element(node, index);
      if (!is_branch(child.get())) continue;
      trail_.push_index(index);
      const bool stop = descend(next, child.get(), name);
      trail_.restore(mark);
      if (stop) return true;
    }
    return false;
  }

  bool emit(Ref& node) {
    if (first_only_) {
      found_ = std::move(node);
      return true;
    }
    Ref match = new_match(state_.match_type, node.get(), trail_.chain().get());
    check(PyList_Append(matches_.get(), match.get()));
    return false;
  }

  const ModuleState& state_;
  PyObject* root_;
  const std::vector<Step>& steps_;
  const bool first_only_;
  Trail trail_;
  Ref matches_;
  Ref found_;
};

}  // namespace

Ref find(const ModuleState& state, PyObject* root, PyObject* path, bool first_only) {
  if (state.path_cache != nullptr) {
    if (const SharedSteps cached = state.path_cache->steps_of(path)) {
      return Query(state, root, *cached, first_only).run();
    }
  }
  const Steps steps = parse_path(path);
  return Query(state, root, steps, first_only).run();
}

}  // namespace qm::vexlo
