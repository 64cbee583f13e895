// The str of a table or column name, from a small cache of recent names: the
// same few names come back in every statement of a workload, and a cached str
// costs a hash and a compare where a new one costs a decode, an allocation and
// later a free.
#pragma once

#include <string_view>

#include "common/ref.hpp"

namespace lineage::binding {

// `text` as a str (UTF-8, undecodable bytes kept by surrogateescape).
qm::Ref name_string(std::string_view text);

}  // namespace lineage::binding
