"""The lineage page in a real headless Chromium: it loads cleanly, follows chains,
searches, toggles indirect lineage and keeps hostile names as text."""

from __future__ import annotations

import os
import shutil
import threading
from pathlib import Path

import pytest

from sql_lineage.page import page_html, run_data
from support.page_runs import HOSTILE, HOSTILE_NAME, SCRIPT, fake_analyse, wide_run

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402
pytestmark = [
    pytest.mark.skipif(not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)),
                       reason="no Chromium: apt-get install chromium chromium-driver"),
    pytest.mark.skipif(shutil.which("dot") is None,
                       reason="Graphviz 'dot' is not installed: apt-get install graphviz"),
]

# label.column of every highlighted row, whatever the box's kind
HIGHLIGHTED = """return [...document.querySelectorAll('#boxes .col.on')].map(c =>
  c.closest('.box').querySelector('.label').textContent + '.' + c.querySelector('text').textContent).sort();"""
FIND_COLUMN = """const [table, column] = arguments;
return [...document.querySelectorAll('#boxes .col')].find(c =>
  c.closest('.box').querySelector('.label').textContent === table &&
  c.querySelector('text').textContent === column).querySelector('.hit');"""


@pytest.fixture(scope="module")
def browser():
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The sanitizer run preloads its runtime into every child; the browser is
    # not ours and does not start with it.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=environment), options=options)
    yield driver
    driver.quit()


@pytest.fixture
def open_page(browser, tmp_path):
    def open_run(run, title="lineage"):
        path = tmp_path / "page.html"
        path.write_text(page_html(run_data(run), title), encoding="utf-8")
        browser.get(path.as_uri())
        browser.get_log("browser")  # what loading said is asserted by its own test
        return browser
    return open_run


def severe(driver):
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


@pytest.mark.parametrize("run", [SCRIPT + HOSTILE, [], wide_run(500, 10)], ids=["script", "empty", "wide"])
def test_loads_without_console_errors(browser, tmp_path, run):
    path = tmp_path / "page.html"
    path.write_text(page_html(run_data(run), "lineage"), encoding="utf-8")
    browser.get(path.as_uri())
    assert severe(browser) == []
    shown = browser.execute_script("return document.querySelectorAll('#boxes .col').length")
    assert shown == sum(len(g["columns"]) for g in run_data(run)["groups"])
    notice = browser.find_element("id", "notice")
    assert notice.is_displayed() == (not run)
    if not run:
        assert notice.text == "No SQL statements in this run."


CHAINS = [
    # (table, column, indirect shown, the chain, steps listed in the panel)
    ("raw.orders", "amount", False,
     ["mart.revenue.total", "raw.orders.amount", "report.sql:1.total_k", "stage.orders.net"], 3),
    ("stage.orders", "net", False,
     ["mart.revenue.total", "raw.fx.rate", "raw.orders.amount", "report.sql:1.total_k",
      "stage.orders.net"], 4),
    ("raw.orders", "id", False, ["raw.orders.id", "stage.orders.id"], 1),
    ("raw.orders", "region", False, ["raw.orders.region"], 0),
    # A filter column decides every row the statement writes, and so everything downstream.
    ("raw.orders", "region", True,
     ["mart.revenue.total", "raw.orders.region", "report.sql:1.total_k", "stage.orders.id",
      "stage.orders.net"], 4),
    ("stage.orders", "id", True,
     ["mart.revenue.total", "raw.orders.id", "raw.orders.region", "report.sql:1.total_k",
      "stage.orders.id"], 4),
]


@pytest.mark.parametrize("table, column, indirect, chain, steps", CHAINS)
def test_click_highlights_exactly_the_chain(open_page, table, column, indirect, chain, steps):
    driver = open_page(SCRIPT)
    if indirect:
        driver.find_element("id", "show-indirect").click()
    driver.execute_script(FIND_COLUMN, table, column).click()
    assert driver.execute_script(HIGHLIGHTED) == chain
    assert driver.find_element("css selector", "#panel h2").text == f"{table}.{column}"
    assert len(driver.find_elements("css selector", "#panel li:not(.none)")) == steps
    # A click on the background clears the selection.
    driver.find_element("id", "graph").click()
    assert driver.execute_script(HIGHLIGHTED) == []


def test_a_chain_alone_and_back(open_page):
    driver = open_page(SCRIPT)
    boxes = "return [...document.querySelectorAll('#boxes .box .label')].map(l => l.textContent).sort()"
    everything = driver.execute_script(boxes)
    driver.execute_script(FIND_COLUMN, "raw.orders", "id").click()
    driver.find_element("id", "chain-alone").click()
    assert driver.find_element("id", "chain-bar").text.startswith("The chain of raw.orders.id alone")
    assert driver.execute_script(boxes) == ["raw.orders", "stage.orders"]
    assert driver.execute_script(HIGHLIGHTED) == CHAINS[2][3]
    driver.find_element("id", "chain-back").click()
    assert driver.execute_script(boxes) == everything and len(everything) == 5
    assert not driver.find_element("id", "chain-bar").is_displayed()


def test_search_finds_and_selects_a_column(open_page):
    driver = open_page(SCRIPT)
    search = driver.find_element("id", "search")
    search.send_keys("RATE")
    search.send_keys("\n")
    assert driver.find_element("css selector", "#panel h2").text == "raw.fx.rate"
    assert driver.execute_script(HIGHLIGHTED) == [
        "mart.revenue.total", "raw.fx.rate", "report.sql:1.total_k", "stage.orders.net"]
    marked = driver.execute_script("return [...document.querySelectorAll('.col.match text')].map(t => t.textContent)")
    assert marked == ["rate"]


def test_indirect_toggle_shows_dashed_edges(open_page):
    driver = open_page(SCRIPT)
    def shown():
        return sum(e.is_displayed() for e in driver.find_elements("css selector", ".edge.indirect"))
    assert shown() == 0
    toggle = driver.find_element("id", "show-indirect")
    toggle.click()
    assert shown() == 2
    toggle.click()
    assert shown() == 0


def test_statement_shows_its_sql_with_the_columns_it_reads(open_page):
    driver = open_page(SCRIPT)
    driver.find_element("xpath", "//button[text()='etl.sql:1']").click()
    assert driver.find_element("css selector", "#panel h2").text.startswith("etl.sql:1")
    sql = driver.find_element("css selector", "pre.sql")
    assert sql.text == SCRIPT[0][1].sql
    marks = [m.text for m in sql.find_elements("css selector", "mark")]
    assert marks == ["id", "amount", "rate", "region"]  # the 'EU' literal and other names stay plain
    driver.find_element("id", "search").send_keys(Keys.ESCAPE)
    assert driver.find_element("css selector", "#panel h2").text == "Statements"
    assert driver.execute_script(HIGHLIGHTED) == []


def test_collapse_keeps_edges_on_the_header(open_page):
    driver = open_page(SCRIPT)
    driver.find_element("id", "collapse-all").click()
    assert not any(c.is_displayed() for c in driver.find_elements("css selector", "#boxes .col"))
    driver.find_element("id", "expand-all").click()
    assert all(c.is_displayed() for c in driver.find_elements("css selector", "#boxes .col"))


def test_hostile_names_are_text(open_page):
    driver = open_page(HOSTILE, title=HOSTILE_NAME)
    assert driver.title == HOSTILE_NAME
    assert driver.execute_script("return document.querySelectorAll('img, script').length") == 2
    labels = driver.execute_script(
        "return [...document.querySelectorAll('#boxes .headline > title')].map(t => t.textContent).sort()")
    assert labels == sorted([f"s.{HOSTILE_NAME}", f"db.{HOSTILE_NAME}"])
    driver.find_element("css selector", "#panel .link").click()
    assert driver.find_element("css selector", "pre.sql").text == HOSTILE[0][1].sql
    assert severe(driver) == []


def test_web_app_draws_what_the_server_answers(browser):
    from sql_lineage.page.server import LineageServer

    server = LineageServer(("127.0.0.1", 0), fake_analyse)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        browser.get(f"http://127.0.0.1:{server.server_port}/")
        message = browser.find_element("id", "app-message")
        for sql, said in [("boom", "The analysis failed: engine bug"),
                          ("select ...", "4 statements: 3 analysed, 1 skipped, 0 failed.")]:
            sql_box = browser.find_element("id", "app-sql")
            sql_box.clear()
            sql_box.send_keys(sql)
            browser.find_element("id", "app-run").click()
            WebDriverWait(browser, 30).until(lambda d: message.text == said)
        assert browser.execute_script("return document.querySelectorAll('#boxes .box').length") == 5
        browser.execute_script(FIND_COLUMN, "raw.orders", "id").click()
        assert browser.execute_script(HIGHLIGHTED) == ["raw.orders.id", "stage.orders.id"]
        # Only the failed request's answer, a 500, may be in the log.
        assert [e for e in severe(browser) if "500" not in e["message"]] == []
    finally:
        server.shutdown()
        server.server_close()


def test_screenshot_of_the_examples(browser, tmp_path):
    engine = pytest.importorskip("sql_lineage.engine", reason="the full engine is not built",
                                 exc_type=ImportError)
    run = [(str(path.relative_to(ROOT)), record)
           for path in sorted((ROOT / "examples").glob("*.sql"))
           for record in engine.lineage(path.read_text(encoding="utf-8"))]
    RESULTS.mkdir(parents=True, exist_ok=True)
    page = RESULTS / "page-examples.html"
    page.write_text(page_html(run_data(run), "examples"), encoding="utf-8")
    browser.get(page.as_uri())
    assert severe(browser) == []
    assert browser.save_screenshot(str(RESULTS / "page-examples.png"))
    # And one chain, with the columns that decide its rows.
    browser.find_element("id", "show-indirect").click()
    browser.find_element("id", "search").send_keys("sales.orders.amount\n")
    assert browser.find_element("css selector", "#panel h2").text == "sales.orders.amount"
    assert browser.save_screenshot(str(RESULTS / "page-examples-chain.png"))
