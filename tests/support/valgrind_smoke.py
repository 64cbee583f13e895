"""A short tour of every entry point, for a memcheck run (make valgrind): a
result and each kind of error once, so that an invalid read anywhere shows."""

import contextlib
import io
import json

import mo_imports

# The parser's packages finish their circular imports within a time limit that
# a run under memcheck, many times slower, can overrun on a busy machine.
mo_imports.WAIT_FOR_EXPORT = 3600

from querimo_main import Analyze, VexloParseMain  # noqa: E402
from sql_lineage import lineage
from vexlo_var import VexloVar

front = VexloParseMain()
results = [
    front._re_hint("select /*+ hint */ a -- c\n\nfrom t"),
    front._parse_sql("select t.id as uid, s.* from db.users t join (select a, b as c from db.o) s on t.id = s.a"),
    front._parse_sql("select a from t union all select b from db.u order by 1"),
    Analyze(json.loads('{"select": {"value": "a"}, "from": "t"}')).analyze_sql(),
    VexloVar(a={"b": [{"name": 1}]}).find("$..name"),
    VexloVar(a={"b": [{"name": 1}]}).find("$.a.b[0].name", 1),
    # The full engine through both front-ends: CTEs, expressions, set operations,
    # stars with a schema, write targets, UPDATE/MERGE, and statements that fail.
    lineage(
        "with r as (select o.id, sum(o.amount) total from sales.orders o where o.ok group by o.id)"
        " insert into mart.t (a, b) select r.id, coalesce(r.total, 0) from r join u on r.id = u.id"
        " union all select x, y from v order by 1;"
        " update t set a = s.b from s where t.id = s.id;"
        " merge into t using s on t.id = s.id when matched then update set a = s.a"
        " when not matched then insert (a) values (s.a);"
        " select from where; select 'never closed",
        schema={"u": ["id", "c"]},
    ),
    lineage("select s.* from (select a, b from db.t) s; create table x as select * from x",
            parser="moz"),
    lineage("(" * 5_000 + "select 1" + ")" * 5_000),
]
errors = []
deep = "t"
for _ in range(20_000):
    deep = {"value": deep}
for call in [
    lambda: front._parse_sql("select a from t join u on t.id = u.id"),
    lambda: front._parse_sql("select from where"),
    lambda: front._parse_sql(None),
    lambda: VexloParseMain._parse_sql(front, "x", sql="y"),
    lambda: Analyze([1]).analyze_sql(),
    lambda: VexloVar().find("$.'open"),
    lambda: VexloVar.__delattr__(VexloVar(), 1),
    lambda: VexloVar(deep),
    lambda: lineage("select a from t", dialect="klingon"),
    lambda: lineage("select a from t", schema={"t": 5}),
    lambda: Analyze({"select": {"value": "x.a"},
                     "from": [{"value": {"select": {"value": "y.a"}, "from": "t"}, "name": "x"},
                              {"join": {"name": "y", "value": {"select": {"value": "x.a"}, "from": "u"}}}]}
                    ).analyze_sql(),
]:
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            call()
    except Exception as exc:
        errors.append(type(exc).__name__)
print(len(results), "results;", "errors:", " ".join(errors))
