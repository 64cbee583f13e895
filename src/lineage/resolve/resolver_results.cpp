// The statement's results: output columns and indirect lineage, each table column once.
#include "lineage/resolve/resolver.hpp"

#include <algorithm>

namespace lineage::resolve::detail {

void Resolver::merge_duplicates(std::vector<Leaf>& leaves) {
  std::vector<Leaf> unique;
  unique.reserve(leaves.size());
  std::unordered_map<std::string, std::size_t> seen;
  const bool indexed = leaves.size() > kIndexedWidth;
  for (const Leaf& leaf : leaves) {
    auto same = unique.end();
    if (indexed) {
      auto [it, added] = seen.emplace(std::to_string(leaf.table) + '.' + model::folded(leaf.column), unique.size());
      if (!added) same = unique.begin() + static_cast<std::ptrdiff_t>(it->second);
    } else {
      same = std::find_if(unique.begin(), unique.end(), [&](const Leaf& u) { return same_column(u, leaf); });
    }
    if (same == unique.end()) {
      unique.push_back(leaf);
    } else {
      same->usage = stronger(same->usage, leaf.usage);
      same->ambiguous = same->ambiguous && leaf.ambiguous;
    }
  }
  leaves.swap(unique);
}

void Resolver::merge_repeated_outputs(std::vector<ScopeColumn>& columns) const {
  if (st_.kind != model::StatementKind::Merge) return;
  std::vector<ScopeColumn> merged;
  std::unordered_map<std::string, std::size_t> position;
  for (ScopeColumn& column : columns) {
    auto [it, added] = position.emplace(model::folded(column.name), merged.size());
    if (added) {
      merged.push_back(std::move(column));
    } else {
      auto& leaves = merged[it->second].leaves;
      leaves.insert(leaves.end(), column.leaves.begin(), column.leaves.end());
    }
  }
  columns.swap(merged);
}

void Resolver::emit_columns(std::vector<ScopeColumn>& columns) {
  merge_repeated_outputs(columns);
  const auto& targets = st_.target_columns;
  out_.columns.reserve(columns.size());
  for (std::size_t k = 0; k < columns.size(); ++k) {
    ScopeColumn& column = columns[k];
    OutputLineage output;
    output.name = (k < targets.size() && column.open_table < 0) ? targets[k].text : std::string(column.name);
    if (column.leaves.size() > 1) merge_duplicates(column.leaves);
    output.sources.reserve(column.leaves.size());
    for (const Leaf& leaf : column.leaves) {
      output.sources.push_back({leaf.table, std::string(leaf.column), leaf.usage, leaf.ambiguous});
    }
    out_.columns.push_back(std::move(output));
  }
}

void Resolver::emit_indirect() {
  // Most statements are one scope: its own list is all there is.
  std::vector<IndirectLeaf> gathered;
  const std::vector<IndirectLeaf>* everything = &states_[st_.root].indirect;
  if (!states_[st_.root].uses.empty()) {
    std::vector<ScopeId> stack{st_.root};
    states_[st_.root].reached = true;
    while (!stack.empty()) {
      const ScopeId s = stack.back();
      stack.pop_back();
      const ScopeState& state = states_[s];
      gathered.insert(gathered.end(), state.indirect.begin(), state.indirect.end());
      for (ScopeId used : state.uses) {
        if (!states_[used].reached) {
          states_[used].reached = true;
          stack.push_back(used);
        }
      }
    }
    everything = &gathered;
  }
  const std::vector<IndirectLeaf>& all = *everything;
  // Few items (the usual case) are compared in place; many go through an index
  // keyed the same way, so that the work stays linear.
  out_.indirect.reserve(all.size());
  const bool indexed = all.size() > kIndexedWidth;
  std::unordered_map<std::string, std::size_t> index;
  for (const IndirectLeaf& item : all) {
    IndirectColumn* kept = nullptr;
    if (indexed) {
      std::string key = std::to_string(item.leaf.table) + '\x1f' + std::to_string(static_cast<int>(item.kind)) +
                        '\x1f' + model::folded(item.leaf.column);
      auto [it, added] = index.emplace(std::move(key), out_.indirect.size());
      if (!added) kept = &out_.indirect[it->second];
    } else {
      for (IndirectColumn& earlier : out_.indirect) {
        if (earlier.table == item.leaf.table && earlier.kind == item.kind &&
            model::equal_folded(earlier.column, item.leaf.column)) {
          kept = &earlier;
          break;
        }
      }
    }
    if (kept == nullptr) {
      out_.indirect.push_back({item.leaf.table, std::string(item.leaf.column), item.kind, item.leaf.ambiguous});
    } else {
      kept->ambiguous = kept->ambiguous && item.leaf.ambiguous;
    }
  }
}

}  // namespace lineage::resolve::detail

namespace lineage::resolve {

using detail::kStar;

StatementLineage resolve_statement(const model::Statement& statement, model::Schema& schema) {
  return detail::Resolver(statement, schema).run();
}

void remember_written_table(const model::Statement& statement, const StatementLineage& lineage,
                            model::Schema& schema) {
  using model::StatementKind;
  const bool writes = statement.kind == StatementKind::CreateTable || statement.kind == StatementKind::CreateView ||
                      ((statement.kind == StatementKind::Insert || statement.kind == StatementKind::InsertOverwrite) &&
                       !statement.target_columns.empty());
  if (!writes || statement.target.empty()) return;
  std::vector<std::string> columns;
  for (const OutputLineage& column : lineage.columns) {
    if (column.name == kStar) return;  // not all columns known
    columns.push_back(column.name);
  }
  if (statement.kind == StatementKind::Insert || statement.kind == StatementKind::InsertOverwrite) {
    if (schema.find(statement.target) != nullptr) return;  // an INSERT does not redefine a table
  }
  schema.add(statement.target, std::move(columns));
}

}  // namespace lineage::resolve
