"""Short statements of the shapes parser test suites are full of: one table, one
sub-query, literals, simple filters and joins. On these the parse is quick, so
the module's fixed cost per call weighs most."""

from __future__ import annotations

# The two statements the fixed cost per call is judged on.
FIXED_COST_STATEMENTS = ["select a from t", "SELECT b.a FROM (SELECT 2 AS a) b"]

SHORT_STATEMENTS = [
    *FIXED_COST_STATEMENTS,
    # one table
    "select a, b, c from t",
    "select * from t",
    "select t.* from t",
    "select a as x from t",
    "select t.a from t",
    "select t.a, t.b from db.t t",
    "select x.a from db.t as x",
    "select a from db.t",
    "select distinct a from t",
    'select "quoted col" from t',
    "SELECT A, B FROM T",
    # filters, ordering, grouping
    "select a from t where b = 1",
    "select a from t where b > 1 and c < 2",
    "select a from t where b is null",
    "select a from t where b between 1 and 2",
    "select a from t where b like 'x%'",
    "select x.a from t x where x.b in (1, 2, 3)",
    "select a from t order by a desc",
    "select a from t limit 10",
    "select a, b from t group by a, b",
    "select a from t group by a having count(*) > 1",
    # literals and expressions
    "select 1",
    "select 1 as one",
    "select 'x' as s from t",
    "select null as n from t",
    "select 1 + 2 as three",
    "select count(*) from t",
    "select count(a) as n from t",
    "select max(a) as m, min(b) from t",
    "select upper(a) as u from t",
    "select cast(a as int) as a from t",
    "select case when a > 1 then 'x' else 'y' end as c from t",
    # one sub-query
    "select s.a from (select a from t) s",
    "select s.a as b from (select a from t) s",
    "select * from (select a, b from t) s",
    "select s.* from (select a from db.t) s",
    "select a from (select a from t)",
    "select a from t where b in (select b from u)",
    # unions and joins
    "select a from t union select a from u",
    "select a from t union all select b from u",
    "select x.a, y.b from t x join u y on x.id = y.id",
    "select x.a from t x left join u y on x.id = y.id",
    # comments and hints
    "select a -- the key\nfrom t",
    "select /*+ full(t) */ a from t",
]
