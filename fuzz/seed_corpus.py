"""Writes the fuzzer's starting corpus: every statement we have, each once per
dialect byte, into the folder named on the command line."""

from __future__ import annotations

import hashlib
import json
import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))


def statements() -> list[str]:
    from support.warehouse_corpus import CASES

    texts: list[str] = [sql for sql, _ in CASES]
    peer = REPO.parent / "shared" / "peer-cases" / "peer_cases.json"
    if peer.exists():
        data = json.loads(peer.read_text())
        texts += [c["sql"] for key in ("cases", "out_of_scope_cases", "bench_statements") for c in data.get(key, [])]
    texts += [p.read_text() for p in sorted((REPO / "examples").glob("*.sql"))]
    # The table-driven tests' statements, dialect by dialect.
    tests = (REPO / "tests" / "test_native_parser.py").read_text()
    texts += [m.group(1).encode().decode("unicode_escape") for m in re.finditer(r'\(\s*"\w+",\s*"((?:[^"\\]|\\.)*)"', tests)]
    return texts


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for text in statements():
        for dialect in range(9):
            body = bytes([dialect]) + text.encode("utf-8", "surrogatepass")
            (out / hashlib.sha1(body).hexdigest()).write_bytes(body)


if __name__ == "__main__":
    main()
