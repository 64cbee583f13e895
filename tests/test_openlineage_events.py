"""-f openlineage: run events checked against the OpenLineage model the client ships.

openlineage-python carries the OpenLineage spec as generated classes (no JSON
schema files): every event and facet type with its fields, their types, which
are required, and the schema URL of each. `structure` reads an emitted event
back through those classes, refusing unknown keys, missing required fields and
wrongly typed values, runs the classes' own validators, and checks that writing
the result again gives the same JSON.
"""

import datetime
import enum
import io
import json
import types
import typing
import uuid

import attr
import pytest

from support.lineage_records import indirect, result, source, statement
from openlineage.client.event_v2 import RunEvent
from openlineage.client.generated.base import BaseFacet
from openlineage.client.facet_v2 import (
    column_lineage_dataset,
    error_message_run,
    job_type_job,
    sql_job,
)
from openlineage.client.serde import Serde
from sql_lineage.formats import write_openlineage
from sql_lineage.report import Report

FACETS = {
    "columnLineage": column_lineage_dataset.ColumnLineageDatasetFacet,
    "sql": sql_job.SQLJobFacet,
    "jobType": job_type_job.JobTypeJobFacet,
    "errorMessage": error_message_run.ErrorMessageRunFacet,
}


def structure(value, kind, where="event", facet_key=None):
    """`value` (parsed JSON) as an instance of the annotation `kind`, or an AssertionError."""
    origin = typing.get_origin(kind)
    if origin in (types.UnionType, typing.Union):
        options = [k for k in typing.get_args(kind) if k is not type(None)]
        assert value is not None, f"{where}: null where the spec wants {kind}"  # nulls are left out
        return structure(value, options[0], where, facet_key)
    if origin is list:
        assert isinstance(value, list), f"{where}: not a list"
        [item] = typing.get_args(kind)
        return [structure(v, item, f"{where}[{i}]") for i, v in enumerate(value)]
    if origin is dict:
        assert isinstance(value, dict), f"{where}: not an object"
        _, item = typing.get_args(kind)
        if attr.has(item) and issubclass(item, BaseFacet):  # a map of facets by name
            return {k: structure(v, FACETS[k], f"{where}.{k}") for k, v in value.items()}
        return {k: structure(v, item, f"{where}.{k}") for k, v in value.items()}
    if isinstance(kind, type) and issubclass(kind, enum.Enum):
        return kind(value)
    if attr.has(kind):
        assert isinstance(value, dict), f"{where}: not an object"
        hints = typing.get_type_hints(kind)
        fields = {f.name: f for f in attr.fields(kind)}
        unknown = set(value) - set(fields)
        assert not unknown, f"{where}: fields the spec does not have: {unknown}"
        arguments = {}
        for name, f in fields.items():
            if name not in value:
                assert f.default is not attr.NOTHING, f"{where}: required field {name} missing"
            elif not f.init:  # the schema URL, fixed by the class
                assert value[name] == kind._get_schema(), f"{where}.{name}: {value[name]}"
            else:
                arguments[f.alias] = structure(value[name], hints[name], f"{where}.{name}")
        return kind(**arguments)  # runs the class's validators
    assert isinstance(value, kind), f"{where}: {value!r} is not {kind.__name__}"
    return value


def events_of(results, namespace="warehouse"):
    out = io.StringIO()
    write_openlineage(Report(results, "full", namespace), out)
    lines = out.getvalue().splitlines()
    return [json.loads(line) for line in lines]


RESULTS = [
    result(statement(1, "mart.daily", [
        ("day", [source("sales.orders.order_date")]),
        ("revenue", [source("sales.orders.amount", "AGGREGATION"),
                     source("ref.fx.rate", "TRANSFORMATION", ambiguous=True)]),
    ], [indirect("ref.stores.store_id", "JOIN"), indirect("sales.orders.status", "FILTER"),
        indirect("sales.orders.order_date", "GROUP_BY")],
        sql="insert into mart.daily select ...")),
    result(statement(2, None, [("n", [source("t.n")])], [indirect("t.k", "SORT")], sql="select n from t")),
    result(statement(3, kind="skipped", status="skipped", message="DELETE statement")),
    result(statement(4, kind="select", status="failed", message='syntax error near "from"')),
]


def test_every_event_reads_back_through_the_client_model():
    events = events_of(RESULTS)
    assert len(events) == 3  # the skipped statement gives none
    for event in events:
        parsed = structure(event, RunEvent)
        assert json.loads(Serde.to_json(parsed)) == event
        uuid.UUID(event["run"]["runId"])
        datetime.datetime.fromisoformat(event["eventTime"])
    assert [e["eventType"] for e in events] == ["COMPLETE", "COMPLETE", "FAIL"]
    assert [e["job"]["name"] for e in events] == ["f.sql:1", "f.sql:2", "f.sql:4"]
    assert {e["job"]["namespace"] for e in events} == {"warehouse"}
    assert len({e["run"]["runId"] for e in events}) == 3
    assert events[2]["run"]["facets"]["errorMessage"]["message"] == 'syntax error near "from"'


def test_column_lineage_facet_holds_direct_and_indirect_transformations():
    insert, query, _ = events_of(RESULTS)
    assert [d["name"] for d in insert["inputs"]] == ["sales.orders", "ref.fx", "ref.stores"]
    [output] = insert["outputs"]
    assert (output["namespace"], output["name"]) == ("warehouse", "mart.daily")
    facet = output["facets"]["columnLineage"]

    def fields(entries):
        return [(f["name"], f["field"], [(t["type"], t.get("subtype"), t.get("description"))
                                         for t in f["transformations"]]) for f in entries]

    assert {name: fields(f["inputFields"]) for name, f in facet["fields"].items()} == {
        "day": [("sales.orders", "order_date", [("DIRECT", "IDENTITY", None)])],
        "revenue": [("sales.orders", "amount", [("DIRECT", "AGGREGATION", None)]),
                    ("ref.fx", "rate", [("DIRECT", "TRANSFORMATION",
                                         "ambiguous: one of several candidate tables")])],
    }
    assert fields(facet["dataset"]) == [
        ("ref.stores", "store_id", [("INDIRECT", "JOIN", None)]),
        ("sales.orders", "status", [("INDIRECT", "FILTER", None)]),
        ("sales.orders", "order_date", [("INDIRECT", "GROUP_BY", None)]),
    ]
    assert insert["job"]["facets"]["sql"]["query"] == "insert into mart.daily select ..."
    # A plain query writes no dataset: its event lists what it reads.
    assert query["outputs"] == [] and [d["name"] for d in query["inputs"]] == ["t"]


@pytest.mark.parametrize("bad, message", [
    ({"eventTime": "2026-01-01T00:00:00Z"}, "required field run missing"),
    ({"surprise": 1}, "fields the spec does not have"),
])
def test_the_model_check_refuses_what_the_spec_does_not_allow(bad, message):
    event = dict(events_of(RESULTS)[0])
    if "surprise" not in bad:
        event = {k: v for k, v in event.items() if k != "run"}
    event.update(bad)
    with pytest.raises(AssertionError, match=message):
        structure(event, RunEvent)
