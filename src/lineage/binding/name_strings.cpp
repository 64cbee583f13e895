#include "lineage/binding/name_strings.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "lineage/binding/python_text.hpp"

namespace lineage::binding {
namespace {

constexpr std::size_t kSlots = 1024;        // a power of two
constexpr std::size_t kLongestCached = 64;  // longer names are rare and not worth keeping

struct Slot {
  std::string text;
  PyObject* str = nullptr;  // a strong reference, or none
};

// Direct-mapped: a name replaces whatever held its slot. Guarded by the GIL,
// like every call into the engine; the strs are immutable, so sharing them is safe.
std::array<Slot, kSlots>& slots() {
  static auto* table = new std::array<Slot, kSlots>();  // never freed: strs may outlive it at exit
  return *table;
}

std::size_t slot_of(std::string_view text) noexcept {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return static_cast<std::size_t>(hash ^ (hash >> 29)) & (kSlots - 1);
}

}  // namespace

qm::Ref name_string(std::string_view text) {
  if (text.size() > kLongestCached) return text_string(text);
  Slot& slot = slots()[slot_of(text)];
  if (slot.str != nullptr && slot.text == text) return qm::Ref::borrow(slot.str);
  qm::Ref str = text_string(text);
  slot.text.assign(text);
  Py_XSETREF(slot.str, Py_NewRef(str.get()));
  return str;
}

}  // namespace lineage::binding
