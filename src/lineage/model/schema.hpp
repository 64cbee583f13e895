// What the engine knows about tables' columns: the schema the caller gives,
// plus the tables that earlier statements of the same run wrote.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "lineage/model/names.hpp"

namespace lineage::model {

class Schema {
 public:
  virtual ~Schema() = default;

  // The columns of `table`, or nullptr when unknown. Looks up the whole name
  // first; then a qualified name tries a table the schema names without
  // qualifier ("t"), and an unqualified one the only qualified table of that
  // name ("*.t").
  const std::vector<std::string>* find(const QualifiedName& table) {
    if (table.empty() || nothing_to_find()) return nullptr;
    if (const auto* hit = find_key(key_for(table, table.size()))) return hit;
    if (table.size() > 1) return find_key(key_of(table.back()));
    return find_key("*." + key_of(table.back()));
  }

  // A table written by a statement; later statements see its columns.
  void add(const QualifiedName& table, std::vector<std::string> columns) {
    if (table.empty()) return;
    tables_[key_for(table, table.size())] = std::move(columns);
  }

  static std::string key_for(const QualifiedName& name, std::size_t count) {
    std::string key;
    for (std::size_t i = 0; i < count; ++i) {
      if (i) key += '.';
      key += key_of(name[i]);
    }
    return key;
  }

 protected:
  // A schema filled on demand overrides this to fetch a key it has not seen.
  virtual const std::vector<std::string>* load(const std::string& /*key*/) { return nullptr; }
  // No table can be found (nothing added, nothing to load): the usual case
  // without a schema, answered before any key is made.
  virtual bool nothing_to_find() const { return tables_.empty(); }

  std::unordered_map<std::string, std::vector<std::string>> tables_;

 private:
  const std::vector<std::string>* find_key(const std::string& key) {
    auto it = tables_.find(key);
    if (it != tables_.end()) return &it->second;
    return load(key);
  }
};

}  // namespace lineage::model
