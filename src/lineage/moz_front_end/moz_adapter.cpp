// moz_sql_parser tree -> query model.
//
// moz writes a query as a dict ("select", "from", "where", "with", "groupby",
// "having", "orderby"; "union" / "union_all" for set operations), a column as a
// dotted str (quotes already gone), a string literal as {"literal": ...}, and an
// operator or function call as a one-key dict {name: argument or [arguments]}.
#include "lineage/moz_front_end/moz_adapter.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/calls.hpp"
#include "common/names.hpp"
#include "lineage/binding/python_text.hpp"
#include "lineage/model/names.hpp"

namespace lineage::moz {
namespace {

using model::Clause;
using model::ColumnRef;
using model::Identifier;
using model::NestedQuery;
using model::ScopeId;
using model::Usage;

constexpr std::array<std::string_view, 28> kAggregates = {
    "sum", "count", "avg", "min", "max", "array_agg", "collect_list", "collect_set", "stddev",
    "stddev_pop", "stddev_samp", "variance", "var_pop", "var_samp", "listagg", "string_agg",
    "group_concat", "any_value", "approx_count_distinct", "median", "percentile_cont",
    "percentile_disc", "bool_and", "bool_or", "every", "count_if", "arbitrary", "mode"};

// Names moz reads as columns that are really niladic functions.
constexpr std::array<std::string_view, 8> kNiladic = {
    "current_date", "current_timestamp", "current_time", "current_user",
    "localtime", "localtimestamp", "sysdate", "session_user"};

template <std::size_t N>
bool one_of(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::any_of(names.begin(), names.end(), [&](std::string_view n) { return model::equal_folded(n, name); });
}

// A dict's value for an interned key, or an empty Ref.
qm::Ref get(PyObject* dict, PyObject* key) {
  if (!PyDict_Check(dict)) return {};
  PyObject* value = nullptr;
  qm::check(PyDict_GetItemRef(dict, key, &value));
  return qm::Ref::steal(value);
}

// Calls `each` for every item of a list, or for the value itself when it is not one.
template <class F>
void for_each_item(PyObject* value, F&& each) {
  if (PyList_Check(value) || PyTuple_Check(value)) {
    qm::Ref items = qm::checked(PySequence_Fast(value, "expected a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      qm::Ref item = qm::Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
      each(item.get());
    }
  } else {
    each(value);
  }
}

// The i-th item of a list argument, or nullptr (borrowed from `value`).
PyObject* argument(PyObject* value, Py_ssize_t i) {
  if (PyList_Check(value)) return i < PyList_GET_SIZE(value) ? PyList_GET_ITEM(value, i) : nullptr;
  return i == 0 ? value : nullptr;
}

// The set operator a query dict holds ("union" ...), or nullptr.
PyObject* set_operator_key(PyObject* node) {
  PyObject* const keys[] = {QM_NAME("union"), QM_NAME("union_all"), QM_NAME("intersect"), QM_NAME("except")};
  for (PyObject* key : keys) {
    if (qm::check(PyDict_Contains(node, key))) return key;
  }
  return nullptr;
}

bool is_query(PyObject* node) {
  if (!PyDict_Check(node)) return false;
  return qm::check(PyDict_Contains(node, QM_NAME("select"))) || set_operator_key(node) != nullptr;
}

// Where an expression's references go while it is read.
struct Sink {
  std::vector<ColumnRef>& refs;
  std::vector<NestedQuery>& subqueries;
  Clause clause;
};

class TreeReader {
 public:
  TreeReader(PyObject* namer, model::Statement& statement) : namer_(namer), st_(statement) {}

  ScopeId query(PyObject* node, ScopeId parent) {
    qm::RecursionGuard guard(" while reading a query");
    if (!PyDict_Check(node)) return model::kNoScope;
    if (PyObject* op = set_operator_key(node)) {
      qm::Ref members = get(node, op);
      return set_operation(node, members.get(), binding::utf8_view(op), parent);
    }
    return select(node, parent);
  }

 private:
  ScopeId set_operation(PyObject* node, PyObject* members, std::string_view op, ScopeId parent) {
    const ScopeId s = st_.add_scope(model::ScopeKind::SetOperation, parent);
    read_with(node, s);
    const model::SetOperator kind = op == "union"       ? model::SetOperator::Union
                                    : op == "union_all" ? model::SetOperator::UnionAll
                                    : op == "intersect" ? model::SetOperator::Intersect
                                                        : model::SetOperator::Except;
    std::vector<ScopeId> ids;
    for_each_item(members, [&](PyObject* member) {
      const ScopeId id = query(member, s);
      if (id != model::kNoScope) ids.push_back(id);
    });
    std::vector<ColumnRef> refs;
    std::vector<NestedQuery> subqueries;
    Sink order{refs, subqueries, Clause::OrderBy};
    if (qm::Ref e = get(node, QM_NAME("orderby"))) walk_positional(e.get(), order, s);
    model::Scope& scope = st_.scopes[s];
    scope.refs = std::move(refs);
    scope.subqueries = std::move(subqueries);
    scope.members = std::move(ids);
    if (!scope.members.empty()) scope.operators.assign(scope.members.size() - 1, kind);
    return s;
  }

  void read_with(PyObject* node, ScopeId s) {
    qm::Ref with = get(node, QM_NAME("with"));
    if (!with) return;
    for_each_item(with.get(), [&](PyObject* item) {
      qm::Ref name = get(item, QM_NAME("name"));
      qm::Ref body = get(item, QM_NAME("value"));
      if (!name || !body || !PyUnicode_Check(name.get())) return;
      model::Cte cte;
      cte.name = Identifier{std::string(binding::utf8_view(name.get())), false};
      cte.scope = query(body.get(), s);
      st_.scopes[s].ctes.push_back(std::move(cte));
    });
  }

  ScopeId select(PyObject* node, ScopeId parent) {
    const ScopeId s = st_.add_scope(model::ScopeKind::Select, parent);
    read_with(node, s);
    std::vector<model::Source> sources;
    std::vector<ColumnRef> refs;
    std::vector<NestedQuery> subqueries;
    if (qm::Ref from = get(node, QM_NAME("from"))) {
      for_each_item(from.get(), [&](PyObject* item) { read_from_item(item, s, sources, refs, subqueries); });
    }
    std::vector<model::OutputColumn> outputs;
    bool distinct = false;
    if (qm::Ref items = get(node, QM_NAME("select"))) {
      if (PyList_Check(items.get())) outputs.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
      for_each_item(items.get(), [&](PyObject* item) { read_select_item(item, s, outputs, distinct); });
    }
    Sink where{refs, subqueries, Clause::Where};
    if (qm::Ref e = get(node, QM_NAME("where"))) walk(e.get(), where, s, Usage::Identity, false);
    Sink group{refs, subqueries, Clause::GroupBy};
    if (qm::Ref e = get(node, QM_NAME("groupby"))) walk_positional(e.get(), group, s);
    Sink having{refs, subqueries, Clause::Having};
    if (qm::Ref e = get(node, QM_NAME("having"))) walk(e.get(), having, s, Usage::Identity, false);
    Sink qualify{refs, subqueries, Clause::Qualify};
    if (qm::Ref e = get(node, QM_NAME("qualify"))) walk(e.get(), qualify, s, Usage::Identity, false);
    Sink order{refs, subqueries, Clause::OrderBy};
    if (qm::Ref e = get(node, QM_NAME("orderby"))) walk_positional(e.get(), order, s);

    model::Scope& scope = st_.scopes[s];
    scope.sources = std::move(sources);
    scope.outputs = std::move(outputs);
    scope.refs = std::move(refs);
    scope.subqueries = std::move(subqueries);
    scope.distinct = distinct;
    return s;
  }

  // ---- FROM -----------------------------------------------------------------

  static model::JoinKind join_kind(std::string_view key) {
    if (key.find("left") != std::string_view::npos) return model::JoinKind::Left;
    if (key.find("right") != std::string_view::npos) return model::JoinKind::Right;
    if (key.find("full") != std::string_view::npos) return model::JoinKind::Full;
    if (key.find("cross") != std::string_view::npos) return model::JoinKind::Cross;
    return model::JoinKind::Inner;
  }

  static bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
  }

  void read_from_item(PyObject* item, ScopeId s, std::vector<model::Source>& sources, std::vector<ColumnRef>& refs,
                      std::vector<NestedQuery>& subqueries) {
    model::JoinKind join = sources.empty() ? model::JoinKind::None : model::JoinKind::Comma;
    PyObject* body = item;
    qm::Ref join_body;
    if (PyDict_Check(item)) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(item, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        const std::string_view k = binding::utf8_view(key);
        if (ends_with(k, "join")) {
          join = join_kind(k);
          join_body = qm::Ref::borrow(value);
        }
      }
      if (join_body) body = join_body.get();
    }
    model::Source source;
    source.join = join;
    read_source_body(body, s, source);
    sources.push_back(std::move(source));

    if (!join_body) return;
    Sink on{refs, subqueries, Clause::JoinOn};
    if (qm::Ref condition = get(item, QM_NAME("on"))) walk(condition.get(), on, s, Usage::Identity, false);
    if (qm::Ref using_ = get(item, QM_NAME("using"))) {
      // USING (k): the k of the item joined and of the one before it.
      for_each_item(using_.get(), [&](PyObject* name) {
        if (!PyUnicode_Check(name)) return;
        const std::string_view column = binding::utf8_view(name);
        for (std::size_t back = 0; back < 2 && back < sources.size(); ++back) {
          const model::Source& side = sources[sources.size() - 1 - back];
          ColumnRef ref;
          ref.name = Identifier{std::string(column), false};
          ref.clause = Clause::JoinOn;
          if (!side.alias.empty()) {
            ref.qualifier = {side.alias};
          } else if (side.kind == model::SourceKind::Table) {
            ref.qualifier = side.table;
          }
          refs.push_back(std::move(ref));
        }
      });
    }
  }

  void read_source_body(PyObject* body, ScopeId s, model::Source& source) {
    PyObject* value = body;
    qm::Ref inner;
    if (PyDict_Check(body) && !is_query(body)) {
      if ((inner = get(body, QM_NAME("value")))) {
        value = inner.get();
        if (qm::Ref name = get(body, QM_NAME("name"))) read_alias(name.get(), source);
      }
    }
    if (PyUnicode_Check(value)) {
      source.kind = model::SourceKind::Table;
      source.table = model::split_dotted(binding::utf8_view(value));
      return;
    }
    qm::Ref lateral = get(value, QM_NAME("lateral"));
    if (lateral && is_query(lateral.get())) {
      source.join = model::JoinKind::Lateral;
      value = lateral.get();
    }
    if (is_query(value)) {
      source.kind = model::SourceKind::Subquery;
      source.scope = query(value, s);
      return;
    }
    if (PyDict_Check(value)) {
      // A table function: its arguments feed its columns.
      source.kind = model::SourceKind::TableFunction;
      PyObject* key = nullptr;
      PyObject* v = nullptr;
      Py_ssize_t pos = 0;
      if (PyDict_Next(value, &pos, &key, &v) && PyUnicode_Check(key)) {
        source.table = {Identifier{std::string(binding::utf8_view(key)), false}};
      }
      Sink sink{source.refs, source.subqueries, Clause::TableFunction};
      walk_arguments(value, sink, s, Usage::Transformation, false);
    }
  }

  // "t", or {"t": "x"} / {"t": ["x", "y"]} for AS t (x, y).
  static void read_alias(PyObject* name, model::Source& source) {
    if (PyUnicode_Check(name)) {
      // "a NATURAL JOIN b" comes as a table aliased "natural".
      const std::string_view alias = binding::utf8_view(name);
      if (!model::equal_folded(alias, "natural")) source.alias = Identifier{std::string(alias), false};
      return;
    }
    if (!PyDict_Check(name)) return;
    PyObject* key = nullptr;
    PyObject* columns = nullptr;
    Py_ssize_t pos = 0;
    if (!PyDict_Next(name, &pos, &key, &columns) || !PyUnicode_Check(key)) return;
    source.alias = Identifier{std::string(binding::utf8_view(key)), false};
    for_each_item(columns, [&](PyObject* column) {
      if (PyUnicode_Check(column)) source.column_aliases.push_back(Identifier{std::string(binding::utf8_view(column)), false});
    });
  }

  // ---- select list ----------------------------------------------------------

  void read_select_item(PyObject* item, ScopeId s, std::vector<model::OutputColumn>& outputs, bool& distinct) {
    model::OutputColumn output;
    if (PyUnicode_Check(item) && binding::utf8_view(item) == "*") {
      output.kind = model::OutputColumn::Kind::Star;
      output.name = Identifier{"*", false};
      outputs.push_back(std::move(output));
      return;
    }
    qm::Ref value_ref = get(item, QM_NAME("value"));
    PyObject* value = value_ref ? value_ref.get() : item;
    // SELECT DISTINCT a, b: moz wraps the whole list as one item.
    if (PyDict_Check(value) && PyDict_GET_SIZE(value) == 1) {
      if (qm::Ref items = get(value, QM_NAME("distinct"))) {
        distinct = true;
        for_each_item(items.get(), [&](PyObject* each) { read_select_item(each, s, outputs, distinct); });
        return;
      }
    }
    if (PyUnicode_Check(value)) {
      const std::string_view text = binding::utf8_view(value);
      if (text == "*" || ends_with(text, ".*")) {
        output.kind = model::OutputColumn::Kind::Star;
        output.name = Identifier{"*", false};
        if (text.size() > 2) output.star_qualifier = model::split_dotted(text.substr(0, text.size() - 2));
        outputs.push_back(std::move(output));
        return;
      }
    }
    if (qm::Ref name = get(item, QM_NAME("name")); name && PyUnicode_Check(name.get())) {
      output.name = Identifier{std::string(binding::utf8_view(name.get())), false};
      output.has_alias = true;
    }
    Sink sink{output.refs, output.subqueries, Clause::Select};
    walk(value, sink, s, Usage::Identity, false);
    if (qm::Ref over = get(item, QM_NAME("over"))) {
      mark_transformation(output.refs);
      walk_window(over.get(), sink, s);
    }
    if (!output.has_alias) {
      if (PyUnicode_Check(value) && !output.refs.empty()) {
        output.name = output.refs.front().name;
      } else {
        output.derived_name = true;
        output.name = Identifier{derived_name(value, outputs.size()), false};
      }
    }
    outputs.push_back(std::move(output));
  }

  static void mark_transformation(std::vector<ColumnRef>& refs) {
    for (ColumnRef& ref : refs) {
      if (ref.usage == Usage::Identity) ref.usage = Usage::Transformation;
    }
  }

  std::string derived_name(PyObject* value, std::size_t position) {
    if (namer_ != nullptr && namer_ != Py_None) {
      qm::Ref made = qm::call(namer_, value);
      if (PyUnicode_Check(made.get())) return std::string(binding::utf8_view(made.get()));
    }
    return "_col" + std::to_string(position);
  }

  void walk_window(PyObject* over, Sink& sink, ScopeId s) {
    Sink partition{sink.refs, sink.subqueries, Clause::WindowPartition};
    if (qm::Ref e = get(over, QM_NAME("partitionby"))) walk(e.get(), partition, s, Usage::Transformation, false);
    Sink order{sink.refs, sink.subqueries, Clause::WindowOrder};
    if (qm::Ref e = get(over, QM_NAME("orderby"))) walk(e.get(), order, s, Usage::Transformation, false);
  }

  // ---- expressions ----------------------------------------------------------

  // GROUP BY / ORDER BY items: a bare number names a select-list position.
  void walk_positional(PyObject* items, Sink& sink, ScopeId s) {
    for_each_item(items, [&](PyObject* item) {
      qm::Ref value = get(item, QM_NAME("value"));
      PyObject* e = value ? value.get() : item;
      if (PyLong_CheckExact(e)) {
        const long position = PyLong_AsLong(e);
        if (position == -1 && PyErr_Occurred()) PyErr_Clear();  // too big: no such position
        if (position > 0 && position <= 0xFFFFFFFFL) {
          ColumnRef ref;
          ref.clause = sink.clause;
          ref.ordinal = static_cast<std::uint32_t>(position);
          sink.refs.push_back(std::move(ref));
        }
        return;
      }
      walk(e, sink, s, Usage::Identity, false);
    });
  }

  void add_column(std::string_view text, Sink& sink, Usage usage, bool condition) {
    if (one_of(text, kNiladic)) return;
    ColumnRef ref;
    ref.clause = sink.clause;
    ref.usage = usage;
    ref.in_case_condition = condition;
    if (text == "*") {
      ref.is_star = true;
      ref.name = Identifier{"*", false};
    } else {
      model::QualifiedName parts = model::split_dotted(text);
      ref.name = std::move(parts.back());
      parts.pop_back();
      ref.qualifier = std::move(parts);
      if (ref.name.text == "*") ref.is_star = true;
    }
    sink.refs.push_back(std::move(ref));
  }

  void walk(PyObject* e, Sink& sink, ScopeId s, Usage usage, bool condition) {
    qm::RecursionGuard guard(" while reading an expression");
    if (PyUnicode_Check(e)) {
      add_column(binding::utf8_view(e), sink, usage, condition);
    } else if (PyList_Check(e) || PyTuple_Check(e)) {
      for_each_item(e, [&](PyObject* item) { walk(item, sink, s, usage, condition); });
    } else if (PyDict_Check(e)) {
      if (is_query(e)) {
        NestedQuery nested;
        nested.scope = query(e, s);
        nested.clause = sink.clause;
        nested.usage = std::max(usage, Usage::Transformation);
        nested.in_case_condition = condition;
        sink.subqueries.push_back(nested);
        return;
      }
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(e, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        qm::Ref hold = qm::Ref::borrow(value);
        walk_call(binding::utf8_view(key), value, sink, s, usage, condition);
      }
    }
    // Numbers, booleans, None: literals, no columns.
  }

  void walk_arguments(PyObject* call, Sink& sink, ScopeId s, Usage usage, bool condition) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(call, &pos, &key, &value)) {
      qm::Ref hold = qm::Ref::borrow(value);
      walk(value, sink, s, usage, condition);
    }
  }

  // One key of an expression dict: an operator or a function and its arguments.
  void walk_call(std::string_view name, PyObject* args, Sink& sink, ScopeId s, Usage usage, bool condition) {
    const Usage inner = std::max(usage, Usage::Transformation);
    if (name == "literal" || name == "name" || name == "sort") return;
    if (name == "value" || name == "distinct") {
      walk(args, sink, s, usage, condition);
    } else if (name == "case") {
      for_each_item(args, [&](PyObject* branch) {
        qm::Ref when = get(branch, QM_NAME("when"));
        qm::Ref then = get(branch, QM_NAME("then"));
        if (when || then) {
          if (when) walk(when.get(), sink, s, inner, true);
          if (then) walk(then.get(), sink, s, inner, condition);
        } else {
          walk(branch, sink, s, inner, condition);  // ELSE
        }
      });
    } else if (name == "cast" || name == "try_cast" || name == "safe_cast") {
      if (PyObject* operand = argument(args, 0)) walk(operand, sink, s, inner, condition);
    } else if (name == "extract") {
      if (PyObject* operand = argument(args, 1)) walk(operand, sink, s, inner, condition);
    } else if (name == "if" || name == "iif" || name == "iff") {
      for (Py_ssize_t i = 0; PyObject* operand = argument(args, i); ++i) {
        walk(operand, sink, s, inner, condition || i == 0);
      }
    } else if (name == "over") {
      walk_window(args, sink, s);
    } else if (one_of(name, kAggregates)) {
      walk(args, sink, s, Usage::Aggregation, condition);
    } else {
      walk(args, sink, s, inner, condition);
    }
  }

  PyObject* namer_;
  model::Statement& st_;
};

}  // namespace

void read_tree(PyObject* tree, PyObject* namer, model::Statement& statement) {
  statement.root = TreeReader(namer, statement).query(tree, model::kNoScope);
}

}  // namespace lineage::moz
