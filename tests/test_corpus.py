"""The hand-worked warehouse corpus, end to end."""

import pytest

import querimo_main
from support.warehouse_corpus import CASES


@pytest.mark.parametrize("sql, expected", CASES, ids=[f"case{i}" for i in range(len(CASES))])
def test_warehouse_query_lineage(sql, expected):
    records = querimo_main.VexloParseMain()._parse_sql(sql)
    assert {(r.database, r.table, r.src, r.tgt) for r in records} == expected
    assert len(records) == len(expected), "records are distinct"
