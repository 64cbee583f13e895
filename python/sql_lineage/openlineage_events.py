"""OpenLineage run events for the statements of a run, made with the
openlineage-python client's own classes.

Each statement is one job (named after its file and number) with one run; its
event lists the tables it reads as input datasets and the table it writes as the
output dataset, which carries the `columnLineage` facet: for every output column
the input columns it is made from (DIRECT transformations), and for the whole
dataset the columns that decide its rows (INDIRECT ones). A plain query writes no
dataset, so its event has inputs only. Statements that were skipped give no event;
failed ones give a FAIL event with the reason.

Events are written as JSON lines, one event per line, the form OpenLineage's own
file transport and most consumers read.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterator
from typing import TextIO

from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.facet_v2 import (
    column_lineage_dataset,
    error_message_run,
    job_type_job,
    sql_job,
)
from openlineage.client.serde import Serde
from openlineage.client.uuid import generate_static_uuid

from . import __version__
from .report import Report, StatementResult

PRODUCER = f"urn:sql-lineage:{__version__}"
INTEGRATION = "SQL-LINEAGE"
# Said of a source when the query does not tell which of several tables holds the column.
AMBIGUOUS = "ambiguous: one of several candidate tables"


def write_events(report: Report, out: TextIO) -> None:
    now = datetime.datetime.now(datetime.timezone.utc)
    for event in run_events(report, now):
        out.write(Serde.to_json(event) + "\n")


def run_events(report: Report, now: datetime.datetime) -> Iterator[RunEvent]:
    for result in report.results:
        if result.status == "skipped":
            continue
        yield statement_event(result, report.namespace, now)


def statement_event(result: StatementResult, namespace: str, now: datetime.datetime) -> RunEvent:
    job_name = result.label
    lineage = result.lineage
    query = lineage.sql.strip() if lineage is not None and lineage.sql.strip() else None
    job_facets: dict[str, object] = {
        "jobType": job_type_job.JobTypeJobFacet(
            processingType="BATCH", integration=INTEGRATION, jobType="QUERY", producer=PRODUCER),
    }
    if query is not None:
        job_facets["sql"] = sql_job.SQLJobFacet(query=query, producer=PRODUCER)
    run_facets: dict[str, object] = {}
    if result.status == "failed":
        run_facets["errorMessage"] = error_message_run.ErrorMessageRunFacet(
            message=result.message or "failed", programmingLanguage="SQL", producer=PRODUCER)
    # The same statement analysed at the same moment gets the same run id.
    run_id = generate_static_uuid(now, f"{namespace}\0{job_name}".encode())
    inputs, outputs = _datasets(result, namespace) if result.status == "ok" else ([], [])
    return RunEvent(
        eventType=RunState.COMPLETE if result.status == "ok" else RunState.FAIL,
        eventTime=now.isoformat(),
        run=Run(runId=str(run_id), facets=run_facets),  # type: ignore[arg-type]
        job=Job(namespace=namespace, name=job_name, facets=job_facets),  # type: ignore[arg-type]
        inputs=inputs,
        outputs=outputs,
        producer=PRODUCER,
    )


def _datasets(result: StatementResult, namespace: str) -> tuple[list[InputDataset], list[OutputDataset]]:
    read: dict[str, None] = {}  # input tables in the order first read
    fields: dict[str, list[column_lineage_dataset.InputField]] = {}
    for r in result.full_rows():
        table = r.table if r.database is None else f"{r.database}.{r.table}"
        read[table] = None
        fields.setdefault(r.output_column, []).append(column_lineage_dataset.InputField(
            namespace=namespace, name=table, field=r.source_column,
            transformations=[column_lineage_dataset.Transformation(
                type="DIRECT", subtype=r.transformation, masking=False,
                description=AMBIGUOUS if r.ambiguous else None)],
        ))
    dataset_fields = []
    for i in result.indirect:
        read[i.qualified_table] = None
        dataset_fields.append(column_lineage_dataset.InputField(
            namespace=namespace, name=i.qualified_table, field=i.column,
            transformations=[column_lineage_dataset.Transformation(
                type="INDIRECT", subtype=i.kind, masking=False,
                description=AMBIGUOUS if i.ambiguous else None)],
        ))
    inputs = [InputDataset(namespace=namespace, name=table) for table in read]
    if result.target is None:
        return inputs, []
    facet = column_lineage_dataset.ColumnLineageDatasetFacet(
        fields={name: column_lineage_dataset.Fields(inputFields=sources)
                for name, sources in fields.items()},
        dataset=dataset_fields,
        producer=PRODUCER,
    )
    output = OutputDataset(
        namespace=namespace, name=result.target,
        facets={"columnLineage": facet},
    )
    return inputs, [output]

