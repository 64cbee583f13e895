"""Writes a query log of any size over the warehouse of examples/*.sql.

    python bench/make_query_log.py OUT.{csv,jsonl,parquet} [--rows N] [--distinct F]
        [--bad F] [--seed S]

Like a real query history, most rows repeat a statement seen before with other
literals (dates, ids, IN-lists of any length), other comments and other
spacing: dashboards and services run the same queries all day. A fraction
`--distinct` of the rows (default 5 %) brings a new statement shape: another
query, or a known one selecting other columns. Repeats favour the shapes seen
early (the hot dashboards) but reach back to any. `--distinct 1` makes every
row a shape of its own. `--bad` adds rows the command must report: empty query
cells, statements it skips, syntax errors.

The rows are written as they are made, so memory stays flat at any size.
"""

from __future__ import annotations

import argparse
import csv
import datetime as dt
import json
import random
import sys
from collections.abc import Iterator
from dataclasses import dataclass

COLUMNS = ("query_id", "user_name", "warehouse", "start_time", "duration_ms", "rows_produced",
           "query_text")


@dataclass(frozen=True)
class Template:
    head: str            # before the select list ("" or an INSERT/CREATE)
    items: tuple[str, ...]
    optional: tuple[str, ...]
    rest: str            # FROM ... with {literal} slots


TEMPLATES = (
    Template("", ("o.order_date", "o.channel", "o.gross_amount"),
             ("o.store_id", "o.status", "o.customer_id"),
             "from sales.orders o\nwhere o.order_date = '{date}'"),
    Template("", ("c.customer_id", "c.first_name", "c.last_name"), ("c.email", "c.region",
                                                                    "c.signup_date"),
             "from crm.customers c\nwhere c.customer_id = {id}"),
    Template("", ("o.order_id", "o.amount"), ("o.status", "o.order_date", "o.channel"),
             "from sales.orders o\nwhere o.customer_id in ({ids})\norder by o.order_id"),
    Template("insert overwrite table mart.daily_revenue partition (dt = '{date}')\n",
             ("o.order_date as sales_date", "st.store_name", "st.region", "o.channel",
              "o.gross_amount as revenue"), (),
             "from sales.orders o\njoin ref.stores st\n  on o.store_id = st.store_id\n"
             "where o.order_date = '{date}'\n  and o.status <> 'cancelled'"),
    Template("", ("w.order_id", "w.customer_id", "w.amount as net_amount"),
             ("w.placed_at", "w.channel"),
             "from web.orders w\nwhere w.placed_at >= '{ts}' and w.test_order = 0"),
    Template("", ("s.receipt_no", "s.total"), ("s.rung_up_at", "s.loyalty_id", "s.store_id"),
             "from pos.receipts s\nwhere s.store_id = {id}\nlimit {n}"),
    Template("", ("s.customer_id", "s.name as segment"), ("s.score",),
             "from marketing.segments s\nwhere s.name in ({names})"),
    Template("insert into finance.order_snapshot\n", ("o.order_id", "o.amount"), (),
             "from sales.orders o\nwhere o.order_date < '{date}'"),
    Template("", ("v.order_id", "v.region"), ("v.customer_id",),
             "from bi.v_orders v\nwhere v.region = '{region}'"),
    Template("", ("cv.customer_id", "cv.lifetime_value"), ("cv.first_order", "cv.last_order"),
             "from analytics.customer_value cv\nwhere cv.lifetime_value > {amount}"),
    Template("", ("r.sales_date", "r.store_name", "r.revenue"), ("r.region", "r.channel"),
             "from mart.daily_revenue r\nwhere r.sales_date between '{date}' and '{date2}'\n"
             "order by r.sales_date"),
    Template("", ("m.order_ref", "m.payout"), ("m.buyer_id", "m.created"),
             "from (select order_ref, buyer_id, payout, created\n"
             "      from marketplace.orders\n      where created >= '{date}') m"),
    Template("create table mart.customer_360_{tag} as\n",
             ("c.customer_id", "c.email", "seg.name as segment"), ("c.first_name", "c.region"),
             "from crm.customers c\nleft join marketing.segments seg\n"
             "  on c.customer_id = seg.customer_id\nwhere c.signup_date >= '{date}'"),
)
SKIPPED = (
    "set query_tag = 'dashboard-{n}'",
    "delete from staging.orders_raw where loaded = 1 and batch_id = {id}",
    "alter table mart.daily_revenue drop if exists partition (dt < '{date}')",
)
BROKEN = ("select from sales.orders where", "selct o.order_id from sales.orders o")
USERS = ("ann", "bob", "carmen", "dmitri", "etl_nightly", "looker_svc", "tableau_svc", "fatima")
WAREHOUSES = ("ANALYTICS_WH", "ETL_WH", "BI_WH")
REGIONS = ("EMEA", "AMER", "APAC", "LATAM")
SEGMENTS = ("gold", "silver", "bronze", "churn_risk", "new", "vip")
COMMENTS = ("", "", "-- dashboard: {user}\n", "/* tool=looker user={user} */ ",
            "-- scheduled by airflow, run {n}\n")


def shape_text(shape: int) -> str:
    """The statement of shape number `shape`, with {literal} slots: a template,
    optional columns chosen by the shape's bits, and past those, output names of
    its own."""
    template = TEMPLATES[shape % len(TEMPLATES)]
    variant = shape // len(TEMPLATES)
    options = len(template.optional)
    items = list(template.items) + [c for j, c in enumerate(template.optional)
                                    if variant >> j & 1]
    extra = variant >> options
    if extra:
        first = items[0].split(" as ")[0]
        items[0] = f"{first} as {first.split('.')[-1]}_{extra}"
    head = template.head.replace("{tag}", str(extra)) if "{tag}" in template.head else template.head
    return f"{head}select {', '.join(items)}\n{template.rest}"


def _fill(text: str, rng: random.Random, when: dt.datetime, user: str) -> str:
    day = when.date() - dt.timedelta(days=rng.randrange(0, 30))
    values = {
        "date": day.isoformat(), "date2": (day + dt.timedelta(days=rng.randrange(1, 60))).isoformat(),
        "ts": (when - dt.timedelta(hours=rng.randrange(1, 48))).isoformat(sep=" "),
        "id": str(rng.randrange(1, 5_000_000)), "n": str(rng.choice((10, 50, 100, 1000))),
        "amount": f"{rng.randrange(100, 100000) / 10:.1f}", "region": rng.choice(REGIONS),
        "ids": ", ".join(str(rng.randrange(1, 5_000_000)) for _ in range(rng.randrange(1, 12))),
        "names": ", ".join(f"'{s}'" for s in rng.sample(SEGMENTS, rng.randrange(1, 4))),
        "user": user,
    }
    return text.format_map(values)


def rows(count: int, distinct: float, bad: float, seed: int) -> Iterator[dict[str, object]]:
    rng = random.Random(seed)
    when = dt.datetime(2024, 6, 1, 0, 0, 0)
    shapes = 0
    for number in range(1, count + 1):
        when += dt.timedelta(milliseconds=rng.randrange(200, 4000))
        user = rng.choice(USERS)
        draw = rng.random()
        if draw < bad:
            kind = rng.randrange(3)
            text = ("" if kind == 0 else _fill(rng.choice(SKIPPED), rng, when, user) if kind == 1
                    else rng.choice(BROKEN))
        else:
            if shapes == 0 or rng.random() < distinct:
                shape = shapes
                shapes += 1
            else:
                shape = int(shapes * rng.random() ** 2)
            text = _fill(shape_text(shape), rng, when, user)
            if rng.random() < 0.2:
                text = text.replace("\n", " ")
            text = _fill(rng.choice(COMMENTS), rng, when, user) + text
        yield {
            "query_id": f"01b{number:013x}", "user_name": user,
            "warehouse": rng.choice(WAREHOUSES), "start_time": when.isoformat(sep=" "),
            "duration_ms": rng.randrange(40, 120_000), "rows_produced": rng.randrange(0, 10**6),
            "query_text": text,
        }


def write(path: str, count: int, distinct: float = 0.05, bad: float = 0.0, seed: int = 7) -> None:
    made = rows(count, distinct, bad, seed)
    if path.endswith(".parquet"):
        _write_parquet(path, made)
    elif path.endswith((".jsonl", ".json")):
        with open(path, "w", encoding="utf-8") as out:
            for row in made:
                out.write(json.dumps(row) + "\n")
    else:
        with open(path, "w", encoding="utf-8", newline="") as out:
            writer = csv.DictWriter(out, COLUMNS, lineterminator="\n")
            writer.writeheader()
            writer.writerows(made)


def _write_parquet(path: str, made: Iterator[dict[str, object]]) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    schema = pa.schema([
        ("query_id", pa.string()), ("user_name", pa.string()), ("warehouse", pa.string()),
        ("start_time", pa.timestamp("ms")), ("duration_ms", pa.int64()),
        ("rows_produced", pa.int64()), ("query_text", pa.string()),
    ])
    with pq.ParquetWriter(path, schema) as writer:
        batch: list[dict[str, object]] = []
        for row in made:
            row["start_time"] = dt.datetime.fromisoformat(str(row["start_time"]))
            batch.append(row)
            if len(batch) == 50_000:
                writer.write_table(pa.Table.from_pylist(batch, schema))
                batch = []
        if batch:
            writer.write_table(pa.Table.from_pylist(batch, schema))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="the log to write: .csv, .jsonl or .parquet")
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--distinct", type=float, default=0.05,
                        help="fraction of rows that bring a new shape (default: 0.05)")
    parser.add_argument("--bad", type=float, default=0.0,
                        help="fraction of rows to be reported: empty, skipped or broken")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)
    write(args.out, args.rows, args.distinct, args.bad, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
