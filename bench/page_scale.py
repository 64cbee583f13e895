"""How the lineage page copes with size: layout time, file size, and in headless
Chromium the load, a column click, a search and a chain shown alone.

    .venv/bin/python bench/page_scale.py [--tables 50,500] [--columns-per-table 10]

Runs are generated: a few raw tables, then tables each filled from three earlier
ones (a random DAG of statements), one column in three an expression over two
sources, one filter column per statement. Writes bench/results/page-scale.json
and a screenshot of the largest page.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

from sql_lineage.page import page_html, run_data  # noqa: E402
from sql_lineage.page.graph import PageStatement  # noqa: E402
from sql_lineage.results import IndirectSource, OutputColumn, SourceColumn, StatementLineage  # noqa: E402

RESULTS = ROOT / "bench" / "results"
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def generated_run(tables: int, width: int, seed: int = 7) -> list[PageStatement]:
    rng = random.Random(seed)
    raw = max(2, tables // 8)
    run: list[PageStatement] = []
    for number in range(raw, tables):
        reads = rng.sample(range(number), min(3, number))
        columns = []
        for k in range(width):
            sources = [SourceColumn("w", f"t{rng.choice(reads)}", f"c{rng.randrange(width)}", "IDENTITY")]
            if k % 3 == 0:
                sources.append(SourceColumn("w", f"t{rng.choice(reads)}", f"c{rng.randrange(width)}",
                                            "TRANSFORMATION"))
            columns.append(OutputColumn(f"c{k}", tuple(sources)))
        condition = IndirectSource("w", f"t{reads[0]}", f"c{rng.randrange(width)}", "FILTER")
        run.append(("generated.sql", StatementLineage(
            number, number, "insert", f"w.t{number}", "ok", None, tuple(columns), (condition,),
            sql=f"insert into w.t{number} select ...")))
    return run


def timed(action) -> float:
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def browser_figures(path: Path, screenshot: Path | None) -> dict[str, float]:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    try:
        figures = {"load_s": timed(lambda: driver.get(path.as_uri()))}
        click = "document.querySelector('.col .hit').dispatchEvent(new MouseEvent('click', {bubbles: true}))"
        figures["click_s"] = timed(lambda: driver.execute_script(click))
        search = ("const s = document.getElementById('search'); s.value = 'c1';"
                  "s.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter'}))")
        figures["search_s"] = timed(lambda: driver.execute_script(search))
        alone = "const b = document.getElementById('chain-alone'); if (b) b.click();"
        figures["chain_alone_s"] = timed(lambda: driver.execute_script(alone))
        if screenshot is not None:
            driver.execute_script("document.getElementById('chain-back').click()")
            driver.save_screenshot(str(screenshot))
        return figures
    finally:
        driver.quit()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tables", default="50,500")
    parser.add_argument("--columns-per-table", type=int, default=10)
    args = parser.parse_args()
    sizes = [int(t) for t in args.tables.split(",")]
    browser = os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)
    RESULTS.mkdir(parents=True, exist_ok=True)
    rows = []
    print(f"{'tables':>7} {'columns':>8} {'edges':>7} {'layout s':>9} {'page KB':>8} {'load s':>7} "
          f"{'click s':>8} {'search s':>9} {'alone s':>8}")
    for tables in sizes:
        run = generated_run(tables, args.columns_per_table)
        start = time.perf_counter()
        data = run_data(run)
        layout_s = time.perf_counter() - start
        page = RESULTS / f"page-scale-{tables}.html"
        page.write_text(page_html(data, f"{tables} tables"), encoding="utf-8")
        row = {"tables": len(data["groups"]), "columns": len(data["columns"]),
               "edges": len(data["edges"]), "layout_s": layout_s, "page_kb": page.stat().st_size / 1024}
        if browser:
            last = tables == max(sizes)
            row.update(browser_figures(page, RESULTS / "page-scale.png" if last else None))
        rows.append(row)
        print(f"{row['tables']:>7} {row['columns']:>8} {row['edges']:>7} {layout_s:>9.2f} "
              f"{row['page_kb']:>8.0f} " + " ".join(
                  f"{row.get(k, float('nan')):>{w}.2f}"
                  for k, w in (("load_s", 7), ("click_s", 8), ("search_s", 9), ("chain_alone_s", 8))))
    (RESULTS / "page-scale.json").write_text(json.dumps(rows, indent=2) + "\n", encoding="utf-8")
    if not browser:
        print("no Chromium: browser figures left out (apt-get install chromium chromium-driver)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
