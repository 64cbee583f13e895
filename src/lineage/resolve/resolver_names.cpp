// Names: which FROM item a column reference reads, through the enclosing scopes.
#include "lineage/resolve/resolver.hpp"

#include <algorithm>

namespace lineage::resolve::detail {

ScopeId Resolver::parent_of(ScopeId s) const {
  const ScopeId p = st_.scopes[s].parent;
  return (p >= 0 && p < s) ? p : kNoScope;
}

void Resolver::problem(std::string message) {
  if (out_.problems.size() < 100) out_.problems.push_back(std::move(message));
}

std::int32_t Resolver::table_id(const model::QualifiedName& name) {
  std::string key = model::Schema::key_for(name, name.size());
  // A statement names a few tables: they are looked up in place, and through
  // an index once there are many.
  if (table_keys_.size() <= kIndexedWidth) {
    for (std::size_t id = 0; id < table_keys_.size(); ++id) {
      if (table_keys_[id] == key) return static_cast<std::int32_t>(id);
    }
  } else {
    if (table_ids_.empty()) {
      for (std::size_t id = 0; id < table_keys_.size(); ++id) table_ids_.emplace(table_keys_[id], id);
    }
    auto found = table_ids_.find(key);
    if (found != table_ids_.end()) return found->second;
  }
  TableName table;
  table.has_database = name.size() > 1;
  table.database = model::joined(name, name.size() - 1);
  table.table = name.back().text;
  out_.tables.push_back(std::move(table));
  const auto id = static_cast<std::int32_t>(out_.tables.size() - 1);
  if (!table_ids_.empty()) table_ids_.emplace(key, id);
  table_keys_.push_back(std::move(key));
  return id;
}

bool Resolver::qualifier_matches(const model::Source& source, const model::QualifiedName& qualifier, bool by_table_name) {
  if (!source.alias.empty() && !by_table_name) {
    return qualifier.size() == 1 && model::same_name(source.alias, qualifier[0]);
  }
  const auto& name = source.table;
  if (source.kind != model::SourceKind::Table || qualifier.size() > name.size()) return false;
  const std::size_t offset = name.size() - qualifier.size();
  for (std::size_t k = 0; k < qualifier.size(); ++k) {
    if (!model::same_name(name[offset + k], qualifier[k])) return false;
  }
  return true;
}

Resolver::Holds Resolver::source_holds(ScopeId s, std::size_t i, const Identifier& name) {
  Binding& binding = states_[s].bindings[i];
  const model::Source& source = st_.scopes[s].sources[i];
  switch (binding.kind) {
    case Binding::Kind::Table: {
      const auto* known = binding.known;
      if (known == nullptr) return Holds::Unknown;
      for (const std::string& column : *known) {
        if (model::same_name(name, column)) return Holds::Yes;
      }
      return Holds::No;
    }
    case Binding::Kind::Scope: {
      if (binding.scope == kNoScope) return Holds::No;
      const ScopeState& inner = states_[binding.scope];
      if (find_column(binding, inner.columns, name) != nullptr) return Holds::Yes;
      return inner.has_open || inner.phase != ScopeState::Phase::Done ? Holds::Unknown : Holds::No;
    }
    case Binding::Kind::Function: {
      if (source.column_aliases.empty()) {
        return model::same_name(source.alias, name.text) || source.alias.empty() ? Holds::Unknown : Holds::No;
      }
      for (const Identifier& alias : source.column_aliases) {
        if (model::same_name(alias, name.text)) return Holds::Yes;
      }
      return Holds::No;
    }
  }
  return Holds::No;
}

bool Resolver::column_named(const Binding& binding, const std::vector<ScopeColumn>& columns, std::size_t k, const Identifier& name) {
  if (columns[k].open_table >= 0) return false;
  bool quoted = false;
  const std::string_view column_name = renamed(binding, k, columns[k], quoted);
  return (quoted || name.quoted) ? column_name == name.text : model::equal_folded(column_name, name.text);
}

const ScopeColumn* Resolver::find_column(Binding& binding, const std::vector<ScopeColumn>& columns, const Identifier& name) {
  if (columns.size() <= kIndexedWidth) {
    for (std::size_t k = 0; k < columns.size(); ++k) {
      if (column_named(binding, columns, k, name)) return &columns[k];
    }
    return nullptr;
  }
  if (binding.positions.empty()) {
    for (std::size_t k = columns.size(); k-- > 0;) {
      bool quoted = false;
      binding.positions[model::folded(renamed(binding, k, columns[k], quoted))] = k;
    }
  }
  auto it = binding.positions.find(model::folded(name.text));
  if (it == binding.positions.end() || !column_named(binding, columns, it->second, name)) return nullptr;
  return &columns[it->second];
}

void Resolver::column_of_source(ScopeId s, std::size_t i, const ColumnRef& ref, Usage usage, bool ambiguous, std::vector<Leaf>& out) {
  Binding& binding = states_[s].bindings[i];
  switch (binding.kind) {
    case Binding::Kind::Table:
      out.push_back({binding.table, ref.is_star ? kStar : std::string_view(ref.name.text), usage, ambiguous});
      return;
    case Binding::Kind::Function:
      for (const Leaf& leaf : binding.function_leaves) {
        out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous || ambiguous});
      }
      return;
    case Binding::Kind::Scope: {
      if (binding.scope == kNoScope) return;
      const auto& columns = states_[binding.scope].columns;
      const ScopeColumn* column = ref.is_star ? nullptr : find_column(binding, columns, ref.name);
      if (column != nullptr) {
        for (const Leaf& leaf : column->leaves) {
          out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous || ambiguous});
        }
        return;
      }
      // An open star of the inner scope may hold it: one table's, or each of several.
      std::size_t open = 0;
      for (const ScopeColumn& c : columns) open += c.open_table >= 0;
      for (const ScopeColumn& c : columns) {
        if (c.open_table < 0) continue;
        out.push_back({c.open_table, ref.is_star ? kStar : std::string_view(ref.name.text), usage,
                       ambiguous || open > 1});
      }
      if (open == 0 && !ref.is_star && states_[binding.scope].phase == ScopeState::Phase::Done) {
        problem("column " + ref.name.text + " is not among the columns of " + source_label(s, i));
      }
      return;
    }
  }
}

std::string Resolver::source_label(ScopeId s, std::size_t i) const {
  const model::Source& source = st_.scopes[s].sources[i];
  if (!source.alias.empty()) return source.alias.text;
  if (!source.table.empty()) return model::joined(source.table, source.table.size());
  return "a sub-query";
}

void Resolver::leaves_of_ref(ScopeId s, const ColumnRef& ref, Usage usage, bool alias_allowed, std::vector<Leaf>& out, bool alias_first) {
  if (ref.ordinal > 0) {
    const auto& columns = states_[s].columns;
    if (ref.ordinal > columns.size()) {
      problem("position " + std::to_string(ref.ordinal) + " is beyond the select list");
      return;
    }
    for (const Leaf& leaf : columns[ref.ordinal - 1].leaves) {
      out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous});
    }
    return;
  }
  if (!ref.qualifier.empty()) {
    for (ScopeId c = s; c != kNoScope; c = parent_of(c)) {
      const auto& sources = st_.scopes[c].sources;
      const std::size_t bound = std::min(sources.size(), states_[c].bindings.size());
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < bound; ++i) {
          if (qualifier_matches(sources[i], ref.qualifier, pass == 1)) {
            column_of_source(c, i, ref, usage, false, out);
            return;
          }
        }
      }
    }
    // Not a FROM item in sight: take the qualifier as a table name.
    problem("no FROM item is named " + model::joined(ref.qualifier, ref.qualifier.size()) + " (column " +
            ref.name.text + ")");
    out.push_back({table_id(ref.qualifier), ref.is_star ? kStar : std::string_view(ref.name.text), usage, true});
    return;
  }
  if (alias_allowed && alias_first && output_alias(s, ref, usage, out)) return;
  if (ref.is_star) {
    const auto& sources = st_.scopes[s].sources;
    for (std::size_t i = 0; i < std::min(sources.size(), states_[s].bindings.size()); ++i) {
      if (states_[s].bindings[i].kind == Binding::Kind::Table) column_of_source(s, i, ref, usage, false, out);
    }
    return;
  }
  ScopeId fallback = kNoScope;  // the nearest scope with a single FROM item
  for (ScopeId c = s; c != kNoScope; c = parent_of(c)) {
    const std::size_t bound = std::min(st_.scopes[c].sources.size(), states_[c].bindings.size());
    // Counted first: the items are listed only when the name is ambiguous, which is rare.
    std::size_t yes = 0, yes_first = 0, unknown = 0, unknown_first = 0;
    for (std::size_t i = 0; i < bound; ++i) {
      switch (source_holds(c, i, ref.name)) {
        case Holds::Yes:
          if (yes++ == 0) yes_first = i;
          break;
        case Holds::Unknown:
          if (unknown++ == 0) unknown_first = i;
          break;
        case Holds::No: break;
      }
    }
    if (c == s && alias_allowed && yes == 0 && output_alias(s, ref, usage, out)) return;
    const Holds wanted = yes == 0 ? Holds::Unknown : Holds::Yes;
    const std::size_t count = yes == 0 ? unknown : yes;
    if (count == 1) {
      column_of_source(c, yes == 0 ? unknown_first : yes_first, ref, usage, false, out);
      return;
    }
    if (count > 1) {
      std::vector<std::size_t> pick;
      for (std::size_t i = 0; i < bound; ++i) {
        if (source_holds(c, i, ref.name) == wanted) pick.push_back(i);
      }
      std::string names;
      for (std::size_t i : pick) {
        column_of_source(c, i, ref, usage, true, out);
        names += names.empty() ? "" : ", ";
        names += source_label(c, i);
      }
      problem("column " + ref.name.text + " is ambiguous between " + names);
      return;
    }
    if (fallback == kNoScope && bound == 1) fallback = c;
  }
  // Known everywhere and found nowhere: the single FROM item of the nearest
  // scope that has one is the best guess.
  if (fallback != kNoScope) {
    column_of_source(fallback, 0, ref, usage, true, out);
    return;
  }
  problem("column " + ref.name.text + " is not found in any FROM item");
}

bool Resolver::output_alias(ScopeId s, const ColumnRef& ref, Usage usage, std::vector<Leaf>& out) {
  const model::Scope& scope = st_.scopes[s];
  const auto& columns = states_[s].columns;
  for (std::size_t k = 0; k < scope.outputs.size() && k < columns.size(); ++k) {
    const model::OutputColumn& output = scope.outputs[k];
    if (output.kind != model::OutputColumn::Kind::Expression || !output.has_alias) continue;
    if (!model::same_name(output.name, ref.name)) continue;
    for (const Leaf& leaf : columns[k].leaves) {
      out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous});
    }
    return true;
  }
  return false;
}

}  // namespace lineage::resolve::detail
