// Room in a vector before appending: most of our vectors end with a handful of
// items, and growing one at a time from empty costs an allocation at 1, 2 and 4.
#pragma once

#include <algorithm>
#include <cstddef>

namespace qm {

template <class Vector>
void make_room(Vector& items, std::size_t more, std::size_t at_least = 4) {
  const std::size_t wanted = items.size() + more;
  if (wanted <= items.capacity()) return;
  items.reserve(std::max({wanted, items.capacity() * 2, at_least}));
}

}  // namespace qm
