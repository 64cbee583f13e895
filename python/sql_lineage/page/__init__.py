"""The lineage page: one self-contained HTML file (`-f html`) and the local web app
(`sql-lineage serve`) that shows the same view for pasted SQL."""

from __future__ import annotations

from .graph import PageStatement, build_graph
from .layout import LayoutError
from .render import page_html, run_data, write_page

__all__ = ["LayoutError", "PageStatement", "build_graph", "page_html", "run_data", "write_page"]
