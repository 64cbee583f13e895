// Paths already read, kept per module: the analyser asks the same few paths for
// every statement, so each is read into steps once rather than on every find.
#pragma once
#include "path.hpp"

#include <array>
#include <cstdint>
#include <memory>

namespace qm::vexlo {

using Steps = std::vector<Step>;
// Shared so that a query keeps its steps even when a find called from inside its
// walk (a key's __eq__) pushes them out of the cache.
using SharedSteps = std::shared_ptr<const Steps>;

// A fixed number of entries, so memory stays bounded however many paths are seen;
// a new path replaces the least recently used one of its set. Nothing in here
// runs Python code, so under the GIL no other thread sees it half changed.
class PathCache {
 public:
  // The steps of `path`; nullptr for a path not kept (a str subclass, whose
  // equality is its own, or a long text), which the caller reads itself. A path
  // that cannot be read raises as parse_path does and leaves no entry.
  SharedSteps steps_of(PyObject* path);

 private:
  static constexpr std::size_t kSets = 16;
  static constexpr std::size_t kWays = 4;
  static constexpr Py_ssize_t kLongestKept = 256;

  struct Entry {
    Ref path;  // an exact str, so immutable
    Py_hash_t hash = 0;
    SharedSteps steps;
    std::uint64_t last_used = 0;  // 0: never filled
  };

  std::array<Entry, kSets * kWays> entries_;
  std::uint64_t clock_ = 0;
};

}  // namespace qm::vexlo
