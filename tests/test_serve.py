"""`sql-lineage serve` over loopback: the form page, analyses, the size limit, bad input."""

from __future__ import annotations

import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest

from sql_lineage.page.server import LineageServer
from support.page_runs import fake_analyse

LIMIT = 4096
needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz 'dot' is not installed")


@pytest.fixture(scope="module")
def server():
    running = LineageServer(("127.0.0.1", 0), fake_analyse, limit=LIMIT)
    thread = threading.Thread(target=running.serve_forever, daemon=True)
    thread.start()
    yield running.server_port
    running.shutdown()
    running.server_close()


def request(port, method, path, body=None, headers=None):
    address = f"http://127.0.0.1:{port}{path}"
    sent = urllib.request.Request(address, data=body, headers=headers or {}, method=method)
    try:
        with urllib.request.urlopen(sent, timeout=30) as response:
            return response.status, dict(response.headers), response.read()
    except urllib.error.HTTPError as refused:
        return refused.code, dict(refused.headers), refused.read()


def post(port, document):
    body = document if isinstance(document, bytes) else json.dumps(document).encode()
    status, _, answer = request(port, "POST", "/api/lineage", body,
                                {"Content-Type": "application/json"})
    return status, json.loads(answer)


def test_form_page(server):
    status, headers, body = request(server, "GET", "/")
    page = body.decode()
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    assert "connect-src 'self'" in headers["Content-Security-Policy"]
    for part in ('id="app-form"', 'id="app-sql"', '<option value="postgres">', 'id="app-schema"',
                 'data-limit="4096"', "At most 4 KB of input"):
        assert part in page
    assert request(server, "GET", "/elsewhere")[0] == 404



@needs_dot
@pytest.mark.parametrize("sql, groups, message", [
    ("script", {"raw.orders", "raw.fx", "stage.orders", "mart.revenue", "statement 1"}, None),
    ("", set(), "No SQL statements in this run."),
])
def test_analysis(server, sql, groups, message):
    status, answer = post(server, {"sql": sql, "dialect": "ansi", "schema": '{"a": {"b": ["c"]}}'})
    assert status == 200
    data = answer["data"]
    assert {g["label"] for g in data["groups"]} == groups
    assert data["empty"] == message


@pytest.mark.parametrize("document, status, error", [
    (b"not json", 400, "The request is not JSON."),
    (b"\xff\xfe", 400, "The request is not JSON."),
    ([1, 2], 400, "The request must be a JSON object."),
    ({"sql": 5, "dialect": "ansi"}, 400, "'sql' must be text."),
    ({"sql": "x", "dialect": "cobol"}, 400, "Unknown dialect 'cobol': choose one of ansi, "),
    ({"sql": "x", "dialect": "ansi", "schema": "{"}, 400, "The schema is not valid JSON: "),
    ({"sql": "x", "dialect": "ansi", "schema": "[1"}, 400, "The schema is not valid JSON: "),
    ({"sql": "x", "dialect": "ansi", "schema": "3"}, 400, "The schema must be a JSON object"),
    ({"sql": "x", "dialect": "ansi", "schema": {"a": 1}}, 400, "'schema' must be JSON text."),
    ({"sql": "deep", "dialect": "ansi"}, 400, "The SQL is nested too deeply to analyse."),
    ({"sql": "bad", "dialect": "ansi"}, 400, "Cannot analyse this input: no such dialect feature"),
    ({"sql": "boom", "dialect": "ansi"}, 500, "The analysis failed: engine bug"),
    ({"sql": "x" * LIMIT, "dialect": "ansi"}, 413, "The input is 4,"),
    ({"sql": "x" * (LIMIT * 20), "dialect": "ansi"}, 413, "at most 4 KB is accepted."),
])
def test_bad_requests_get_a_message(server, document, status, error):
    got, answer = post(server, document)
    assert got == status and error in answer["error"]
    # ... and the server goes on answering.
    assert request(server, "GET", "/")[0] == 200


@pytest.mark.parametrize("headers, status, error", [
    ({"Content-Type": "text/plain"}, 415, "Send the request as application/json."),
    ({"Content-Type": "application/json", "Host": "attacker.example:80"}, 403,
     "This server answers only to this machine's own addresses."),
])
def test_requests_from_elsewhere_are_refused(server, headers, status, error):
    body = json.dumps({"sql": "select 1", "dialect": "ansi"}).encode()
    got, _, answer = request(server, "POST", "/api/lineage", body, headers)
    assert (got, json.loads(answer)["error"]) == (status, error)
    assert request(server, "GET", "/", headers={"Host": "attacker.example"})[0] == 403
    assert request(server, "GET", "/", headers={"Host": f"localhost:{server}"})[0] == 200


def test_length_is_required(server):
    connection = http.client.HTTPConnection("127.0.0.1", server, timeout=30)
    connection.putrequest("POST", "/api/lineage")
    connection.putheader("Content-Type", "application/json")
    connection.endheaders()
    response = connection.getresponse()
    assert (response.status, json.loads(response.read())["error"]) == (
        411, "The request needs a Content-Length.")
    connection.close()


@needs_dot
def test_command_serves_the_engine_on_loopback():
    pytest.importorskip("sql_lineage._engine", reason="the full engine is not built", exc_type=ImportError)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-m", "sql_lineage", "serve", "--port", "0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        banner = child.stdout.readline()
        found = re.fullmatch(r"sql-lineage: serving on http://127\.0\.0\.1:(\d+)/ \(Ctrl-C stops\)\n", banner)
        assert found, banner
        port = int(found.group(1))
        assert request(port, "GET", "/")[0] == 200
        status, answer = post(port, {"sql": "select o.id as order_id from sales.orders o",
                                       "dialect": "ansi", "schema": ""})
        assert status == 200
        assert {g["label"] for g in answer["data"]["groups"]} == {"sales.orders", "statement 1"}
        status, answer = post(port, {"sql": "select 1", "dialect": "ansi", "schema": '{"db": 5}'})
        assert status == 400 and answer["error"].startswith("Cannot analyse this input: ")
    finally:
        child.terminate()
        child.wait(timeout=30)
        child.stdout.close()
        child.stderr.close()
