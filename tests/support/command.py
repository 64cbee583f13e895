"""Runs the sql-lineage command as a separate process, and reads its graphs back."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PYTHON_SOURCES = REPO / "python"
# The tool's sources, ahead of any installed copy.
sys.path.insert(0, str(PYTHON_SOURCES))


class Result:
    def __init__(self, completed):
        self.status = completed.returncode
        self.out = completed.stdout.decode("utf-8")
        self.err = completed.stderr.decode("utf-8")


def tool(*args, stdin=b"", cwd=REPO, engine=None):
    """Runs `python -m sql_lineage` with the extension under test on its path;
    `engine` adds `--engine ENGINE`."""
    if engine is not None:
        args = ("--engine", engine, *args)
    env = dict(os.environ)
    inherited = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([str(PYTHON_SOURCES), *inherited])
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    completed = subprocess.run(
        [sys.executable, "-m", "sql_lineage", *map(str, args)],
        input=stdin, capture_output=True, env=env, cwd=cwd, timeout=300,
    )
    return Result(completed)


def dot_edges(dot_text):
    """Lays the graph out with Graphviz and reads the edges back from its JSON."""
    rendered = subprocess.run(["dot", "-Tjson"], input=dot_text.encode(), capture_output=True,
                              timeout=60)
    assert rendered.returncode == 0 and rendered.stderr == b"", rendered.stderr
    graph = json.loads(rendered.stdout)
    objects = graph["objects"]
    group_of = {}
    for cluster in objects:
        if cluster["name"].startswith("cluster_"):
            for node in cluster.get("nodes", []):
                assert node not in group_of, "a column sits in one group only"
                group_of[node] = cluster["label"]
    # Labels come back as written; Graphviz shows "\\" in one as a single backslash.
    shown = lambda text: re.sub(r"\\(.)", r"\1", text)  # noqa: E731
    label = lambda gvid: (shown(group_of[gvid]), shown(objects[gvid]["label"]))  # noqa: E731
    edges = [(label(e["tail"]), label(e["head"])) for e in graph.get("edges", [])]
    assert len(edges) == len(set(edges)), "no edge twice"
    return set(edges)


needs_graphviz = pytest.mark.skipif(
    shutil.which("dot") is None, reason="Graphviz 'dot' is not installed (apt-get install graphviz)"
)
