// The cache of read paths.
#include "path_cache.hpp"

#include <cstring>

namespace qm::vexlo {

namespace {

// Equal text of two exact strs; equal strs share a kind in CPython's compact form.
bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace

SharedSteps PathCache::steps_of(PyObject* path) {
  if (!PyUnicode_CheckExact(path) || PyUnicode_GET_LENGTH(path) > kLongestKept) return nullptr;
  const Py_hash_t hash = PyObject_Hash(path);  // kept in the str after the first time
  if (hash == -1) throw PyErrOccurred{};
  Entry* const set = &entries_[(static_cast<std::size_t>(hash) % kSets) * kWays];
  Entry* oldest = set;
  for (std::size_t way = 0; way < kWays; ++way) {
    Entry& entry = set[way];
    if (entry.last_used != 0 && entry.hash == hash && same_text(entry.path.get(), path)) {
      entry.last_used = ++clock_;
      return entry.steps;
    }
    if (entry.last_used < oldest->last_used) oldest = &entry;
  }
  SharedSteps steps = std::make_shared<const Steps>(parse_path(path));
  oldest->path = Ref::borrow(path);
  oldest->hash = hash;
  oldest->steps = steps;
  oldest->last_used = ++clock_;
  return steps;
}

}  // namespace qm::vexlo
