"""The statements the benchmarks run: the project's corpus, the peer tools'
cases, and generated queries of a chosen width, depth or union size."""

from __future__ import annotations

import random
import re

from common import load_corpus, load_peer_cases


def width_sql(columns: int) -> str:
    """select c1, ..., cN from db.t"""
    return "select " + ", ".join(f"c{i}" for i in range(1, columns + 1)) + " from db.t"


def width_subquery_sql(columns: int) -> str:
    """select s.c1, ..., s.cN from (select c1, ..., cN from db.t) s"""
    outer = ", ".join(f"s.c{i}" for i in range(1, columns + 1))
    inner = ", ".join(f"c{i}" for i in range(1, columns + 1))
    return f"select {outer} from (select {inner} from db.t) s"


def depth_sql(depth: int, columns: int = 20) -> str:
    """`depth` sub-queries nested in one another, each renaming every column."""
    sql = "select " + ", ".join(f"c{i} as l0_c{i}" for i in range(1, columns + 1)) + " from db.t"
    for level in range(1, depth + 1):
        alias = f"s{level}"
        select = ", ".join(
            f"{alias}.l{level - 1}_c{i} as l{level}_c{i}" for i in range(1, columns + 1)
        )
        sql = f"select {select} from ({sql}) {alias}"
    return sql


def union_sql(members: int, columns: int = 5) -> str:
    """`members` selects joined by union all, each from its own table."""
    select = ", ".join(f"c{i}" for i in range(1, columns + 1))
    return " union all ".join(f"select {select} from db.t{k}" for k in range(1, members + 1))


def count_nodes(tree: object) -> int:
    """Every dict, list and scalar of a parse tree."""
    if isinstance(tree, dict):
        return 1 + sum(count_nodes(value) for value in tree.values())
    if isinstance(tree, list):
        return 1 + sum(count_nodes(value) for value in tree)
    return 1


def corpus_statements() -> list[tuple[str, str]]:
    """(label, sql) for the warehouse corpus and, when present, the peer cases
    and their benchmark statements; each text once."""
    seen: set[str] = set()
    statements: list[tuple[str, str]] = []

    def add(label: str, sql: str) -> None:
        if sql not in seen:
            seen.add(sql)
            statements.append((label, sql))

    for index, (sql, _expected) in enumerate(load_corpus()):
        add(f"warehouse/{index}", sql)
    peers = load_peer_cases()
    if peers is not None:
        for case in peers.get("cases", []):
            add(case["id"], case["sql"])
        for case in peers.get("bench_statements", []):
            add(case["id"], case["sql"])
    return statements


# Shapes the peers are compared on when the peer cases are not at hand: the
# first warehouse statement of each kind.
_FALLBACK_SHAPES = [
    ("alias", re.compile(r"^(?!.*\().*\w\.\w+ as \w+", re.S | re.I)),
    ("sub-query", re.compile(r"from \(select", re.I)),
    ("star over sub-query", re.compile(r"\*\s+from \(select", re.I)),
    ("union", re.compile(r"\bunion\b", re.I)),
    ("join", re.compile(r"\bjoin\b", re.I)),
]


def peer_statements() -> tuple[list[tuple[str, str]], str]:
    """(label, sql) for the side-by-side comparison with the peers, and where they came from."""
    peers = load_peer_cases()
    if peers is not None and peers.get("bench_statements"):
        chosen = [(case["id"].removeprefix("bench/"), case["sql"]) for case in peers["bench_statements"]]
        origin = "the peer cases' bench_statements"
    else:
        chosen = []
        corpus = [sql for sql, _expected in load_corpus()]
        for label, pattern in _FALLBACK_SHAPES:
            for sql in corpus:
                if pattern.search(sql) and all(sql != taken for _label, taken in chosen):
                    chosen.append((label, sql))
                    break
        origin = "the warehouse corpus (peer cases not found)"
    return chosen, origin


# Words left alone when identifiers are renamed to make distinct statements.
_KEYWORDS = frozenset(
    """select from where join inner left right outer full cross on as and or not in is null
    union all distinct group by order having limit offset asc desc case when then else end
    between like exists insert into create table view with values set true false over
    partition rows range preceding following current row natural using top""".split()
)
_WORD = re.compile(r"'(?:[^']|'')*'|\"[^\"]*\"|`[^`]*`|--[^\n]*|/\*.*?\*/|[A-Za-z_][A-Za-z0-9_]*(?=\s*(\()?)", re.S)


def renamed(sql: str, suffix: str) -> str:
    """The statement with `suffix` added to every identifier (not to keywords,
    function names, quoted text or comments): the same shape, another text."""

    def replace(match: re.Match[str]) -> str:
        word = match.group(0)
        if not (word[0].isalpha() or word[0] == "_"):
            return word
        if match.group(1) or word.lower() in _KEYWORDS:
            return word
        return word + suffix

    return _WORD.sub(replace, sql)


def distinct_statements(base: list[str], count: int, seed: int = 5) -> list[str]:
    """`count` different statements made from `base` by renaming identifiers."""
    rng = random.Random(seed)
    out = []
    for index in range(count):
        sql = base[index % len(base)]
        out.append(renamed(sql, f"_{index}") if index >= len(base) else sql)
    rng.shuffle(out)
    return out
