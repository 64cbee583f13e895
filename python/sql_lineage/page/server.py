"""`sql-lineage serve`: a local web app to paste SQL into and see its lineage page.

It analyses text and never runs it. Requests are small JSON documents; a body
over the limit is refused with 413 before it is parsed.
"""

from __future__ import annotations

import html
import importlib
import json
import sys
import threading
from collections.abc import Callable, Sequence
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from ..results import StatementLineage
from .layout import LayoutError
from .render import APP_POLICY, asset, fill, page_html, run_data

# sql, dialect, schema (None or a parsed JSON object) -> one record per statement
Analyse = Callable[[str, str, Any], Sequence[StatementLineage]]

DEFAULT_LIMIT = 1 << 20  # bytes of request body
DIALECTS = (
    "ansi", "postgres", "redshift", "mysql", "snowflake", "bigquery", "hive", "spark",
    "databricks", "duckdb", "sqlite", "tsql",
)
# A page elsewhere on the web may send requests to this machine's addresses, or
# rename one of its own hosts to them; on loopback only those names are answered.
LOOPBACK = ("127.0.0.1", "localhost", "::1")
_DRAIN_FACTOR = 8  # a body up to this many times the limit is read and dropped, so the 413 arrives


class BadRequest(Exception):
    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


def engine_analyse(sql: str, dialect: str, schema: Any) -> Sequence[StatementLineage]:
    # The full engine, imported on first use: the page and its tests run without it.
    engine = importlib.import_module("sql_lineage.engine")
    return engine.lineage(sql, schema=schema, dialect=dialect)  # type: ignore[no-any-return]


def _limit_text(limit: int) -> str:
    for unit, size in (("MB", 1 << 20), ("KB", 1 << 10)):
        if limit >= size and limit % size == 0:
            return f"{limit // size} {unit}"
    return f"{limit} bytes"


class LineageServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(
        self, address: tuple[str, int], analyse: Analyse = engine_analyse,
        limit: int = DEFAULT_LIMIT, dialects: Sequence[str] = DIALECTS, dot: str = "dot",
        log: bool = False,
    ) -> None:
        super().__init__(address, LineageHandler)
        self.analyse = analyse
        self.limit = limit
        self.dialects = tuple(dialects)
        self.dot = dot
        self.log = log
        # The engine and dot are called one request at a time.
        self.lock = threading.Lock()
        options = "".join(
            f'<option value="{html.escape(d)}">{html.escape(d)}</option>' for d in self.dialects
        )
        form = fill(asset("app_form.html"), {
            "DIALECTS": options, "LIMIT": str(limit), "LIMITTEXT": _limit_text(limit),
        })
        self.page = page_html(None, "SQL lineage", app=form).encode("utf-8")

    def answers_to(self, host: str | None) -> bool:
        """Whether a request naming `host` (its Host header) is for this server."""
        if str(self.server_address[0]) not in LOOPBACK:
            return True  # bound to a wider address on purpose: every name may reach it
        names = ("127.0.0.1", "localhost", "[::1]")
        return host in {f"{name}:{self.server_port}" for name in names}

    def analyse_request(self, body: bytes) -> dict[str, Any]:
        try:
            request = json.loads(body)
        except (ValueError, UnicodeDecodeError):
            raise BadRequest(HTTPStatus.BAD_REQUEST, "The request is not JSON.") from None
        if not isinstance(request, dict):
            raise BadRequest(HTTPStatus.BAD_REQUEST, "The request must be a JSON object.")
        sql, dialect, schema_text = (request.get(k) for k in ("sql", "dialect", "schema"))
        if not isinstance(sql, str):
            raise BadRequest(HTTPStatus.BAD_REQUEST, "'sql' must be text.")
        if not isinstance(dialect, str) or dialect not in self.dialects:
            raise BadRequest(
                HTTPStatus.BAD_REQUEST,
                f"Unknown dialect {dialect!r}: choose one of {', '.join(self.dialects)}.",
            )
        schema = _schema(schema_text)
        with self.lock:
            try:
                statements = self.analyse(sql, dialect, schema)
            except RecursionError:
                raise BadRequest(
                    HTTPStatus.BAD_REQUEST, "The SQL is nested too deeply to analyse."
                ) from None
            except (ValueError, TypeError) as exc:
                raise BadRequest(HTTPStatus.BAD_REQUEST, f"Cannot analyse this input: {exc}") from None
            try:
                return run_data([(None, s) for s in statements], self.dot)
            except LayoutError as exc:
                raise BadRequest(HTTPStatus.INTERNAL_SERVER_ERROR, f"Cannot lay out the page: {exc}") from None


def _schema(text: object) -> Any:
    if text is None or (isinstance(text, str) and not text.strip()):
        return None
    if not isinstance(text, str):
        raise BadRequest(HTTPStatus.BAD_REQUEST, "'schema' must be JSON text.")
    try:
        schema = json.loads(text)
    except ValueError as exc:
        raise BadRequest(HTTPStatus.BAD_REQUEST, f"The schema is not valid JSON: {exc}.") from None
    if not isinstance(schema, (dict, list)):
        raise BadRequest(
            HTTPStatus.BAD_REQUEST,
            'The schema must be a JSON object, e.g. {"db": {"table": {"column": "type"}}}.',
        )
    return schema


class LineageHandler(BaseHTTPRequestHandler):
    server: LineageServer
    server_version = "sql-lineage"

    def _foreign(self) -> bool:
        if self.server.answers_to(self.headers.get("Host")):
            return False
        self.close_connection = True
        self._error(HTTPStatus.FORBIDDEN, "This server answers only to this machine's own addresses.")
        return True

    def do_GET(self) -> None:
        if self._foreign():
            return
        if self.path.split("?", 1)[0] in ("/", "/index.html"):
            self._send(HTTPStatus.OK, self.server.page, "text/html; charset=utf-8")
        else:
            self._error(HTTPStatus.NOT_FOUND, "Not found.")

    def do_POST(self) -> None:
        if self._foreign():
            return
        if self.path != "/api/lineage":
            self.close_connection = True
            self._error(HTTPStatus.NOT_FOUND, "Not found.")
            return
        # JSON requests from other sites' pages need the browser's permission first,
        # which this server never gives.
        if self.headers.get_content_type() != "application/json":
            self.close_connection = True
            self._error(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "Send the request as application/json.")
            return
        try:
            body = self._body()
            answer = {"data": self.server.analyse_request(body)}
        except BadRequest as exc:
            self._error(exc.status, str(exc))
            return
        except Exception as exc:  # a request never stops the server
            self.log_error("analysis failed: %r", exc)
            self._error(HTTPStatus.INTERNAL_SERVER_ERROR, f"The analysis failed: {exc}")
            return
        self._send(HTTPStatus.OK, json.dumps(answer, ensure_ascii=False).encode("utf-8"),
                   "application/json; charset=utf-8")

    def _body(self) -> bytes:
        length_text = self.headers.get("Content-Length")
        if length_text is None:
            raise BadRequest(HTTPStatus.LENGTH_REQUIRED, "The request needs a Content-Length.")
        try:
            length = int(length_text)
        except ValueError:
            raise BadRequest(HTTPStatus.BAD_REQUEST, "The Content-Length is not a number.") from None
        if length < 0:
            raise BadRequest(HTTPStatus.BAD_REQUEST, "The Content-Length is negative.")
        limit = self.server.limit
        if length > limit:
            if length <= limit * _DRAIN_FACTOR:
                self._drain(length)
            else:
                self.close_connection = True
            raise BadRequest(
                HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                f"The input is {length:,} bytes; at most {_limit_text(limit)} is accepted.",
            )
        return self.rfile.read(length)

    def _drain(self, length: int) -> None:
        while length > 0:
            chunk = self.rfile.read(min(length, 1 << 16))
            if not chunk:
                break
            length -= len(chunk)

    def _error(self, status: HTTPStatus, message: str) -> None:
        body = json.dumps({"error": message}, ensure_ascii=False).encode("utf-8")
        self._send(status, body, "application/json; charset=utf-8")

    def _send(self, status: HTTPStatus, body: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Security-Policy", APP_POLICY)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Cache-Control", "no-store")
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.log:
            sys.stderr.write(f"{self.address_string()} - {format % args}\n")


def serve(host: str = "127.0.0.1", port: int = 8000, analyse: Analyse = engine_analyse) -> None:
    """Serves until interrupted; the address is printed so the reader can open it."""
    with LineageServer((host, port), analyse, log=True) as server:
        print(f"sql-lineage: serving on http://{host}:{server.server_port}/ (Ctrl-C stops)", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
