"""galtro dashboard and galtro report: the history folded into holdings, the report of a
known history, the live page in Debian's headless chromium, escaping, and that neither
changes the state."""

import html.parser
import json
import os
import re
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

pytest.importorskip("jinja2", reason="galtro_core[dashboard] is not installed")
pytest.importorskip("starlette", reason="galtro_core[dashboard] is not installed")
pytest.importorskip("uvicorn", reason="galtro_core[dashboard] is not installed")

import galtro  # noqa: E402
import galtro_core  # noqa: E402
from browser import chromium, unshare_available  # noqa: E402
from galtro import dashboard  # noqa: E402
from galtro._records import Event  # noqa: E402
from galtro.dashboard._timeline import AgentSummary, Timeline  # noqa: E402
from test_lease_faketime import LIBFAKETIME, faked_clock_env  # noqa: E402

HERE = Path(__file__).resolve().parent
BUILD = HERE.parents[1] / "build"
HOSTILE = "<script>alert(1)</script>"
HOSTILE_ATTRIBUTE = '"><img src=x onerror=alert(2)>'

needs_faketime = pytest.mark.skipif(not os.path.exists(LIBFAKETIME),
                                    reason=f"libfaketime is not installed ({LIBFAKETIME})")


def claimed(agent, key, t):
    return Event("claimed", t, {"agent_id": agent, "resource_key": key})


def released(agent, key, t):
    return Event("released", t, {"agent_id": agent, "resource_key": key})


def holdings(rows):
    return [(h.resource_key, h.agent_id, h.start, h.end, h.taken_from, h.taken_by)
            for key in sorted(rows) for h in rows[key]]


class TestTimeline:
    def test_takeovers_echoes_and_holdings_that_began_before_the_history(self):
        timeline = Timeline()
        timeline.add([
            released("x", "k0", 5),  # held before the history read
            claimed("a", "k1", 10),
            claimed("b", "k1", 20), released("a", "k1", 21),  # b takes over from a
            claimed("b", "k1", 30), released("b", "k1", 30),  # b takes over its own
            released("b", "k1", 40),
            claimed("c", "k2", 50), released("d", "k2", 50),  # took over d's, before
            Event("message_sent", 55, {"from_agent": "a", "to_agent": "e", "content": "hi"}),
            Event("broadcast", 60, {"from_agent": "c", "content": "all"}),
        ])
        unseen = timeline.unseen([galtro.ClaimInfo("k3", "f", 1, 1, 301, False),
                                  galtro.ClaimInfo("k2", "c", 50, 50, 350, False)])
        rows, total = timeline.rows(0, 100, unseen)
        assert total == 4 and timeline.rows(0, 100, unseen, limit=1)[1] == 4
        assert holdings(rows) == [
            ("k0", "x", None, 5, None, None),
            ("k1", "a", 10, 20, None, "b"),
            ("k1", "b", 20, 30, "a", "b"),
            ("k1", "b", 30, 40, "b", None),
            ("k2", "d", None, 50, None, "c"),
            ("k2", "c", 50, None, "d", None),
            ("k3", "f", None, None, None, None),
        ]
        assert holdings(timeline.rows(41, 49)[0]) == [("k2", "d", None, 50, None, "c")]
        # Seconds 15 to 70: a broadcast reaches every agent named so far but x and d,
        # which only released.
        assert timeline.summaries(15, 70, unseen) == [
            AgentSummary("a", 0, 5, 0, 1, 1, 1),
            AgentSummary("b", 2, 20, 1, 0, 0, 1),
            AgentSummary("c", 1, 20, 1, 0, 1, 1),
            AgentSummary("d", 0, 35, 0, 1, 0, 0),
            AgentSummary("e", 0, 0, 0, 0, 0, 2),
            AgentSummary("f", 0, 55, 0, 0, 0, 0),
        ]
        # What ended before second 45 is dropped; later windows read the same.
        later = timeline.rows(45, 100)[0], timeline.summaries(45, 100)
        timeline.forget(45)
        assert sorted(timeline.rows(0, 100)[0]) == ["k2"]
        assert (timeline.rows(45, 100)[0], timeline.summaries(45, 100)) == later


# --- The report of a known history -------------------------------------------------------


class _Marks(html.parser.HTMLParser):
    """The data-* attributes of the timeline's holdings and of the summary's rows."""

    def __init__(self):
        super().__init__()
        self.holdings = []
        self.summaries = []

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        classes = (attributes.get("class") or "").split()
        if tag == "g" and "holding" in classes:
            self.holdings.append(tuple(attributes[f"data-{name}"]
                                       for name in ("key", "agent", "start", "end")))
        if tag == "tr" and "summary" in classes:
            self.summaries.append(tuple(attributes[f"data-{name}"] for name in (
                "agent", "claims", "held", "made", "suffered", "sent", "received")))


def marks(text):
    parser = _Marks()
    parser.feed(text)
    return sorted(parser.holdings), parser.summaries


def faked_child(tmp_path, *args, **popen):
    """dashboard_clock.py under libfaketime, its clock read from a file."""
    clock = tmp_path / "clock"
    clock.write_text("+0\n")
    command = [sys.executable, str(HERE / "dashboard_clock.py"), args[0], str(clock), *args[1:]]
    return subprocess.Popen(command, env=faked_clock_env(clock), **popen)


@pytest.fixture(scope="module")
def known_history(tmp_path_factory):
    """The reports of the history that dashboard_clock.py makes through the nine methods."""
    if not os.path.exists(LIBFAKETIME):
        pytest.skip(f"libfaketime is not installed ({LIBFAKETIME})")
    folder = tmp_path_factory.mktemp("report")
    child = faked_child(folder, "history", str(folder))
    assert child.wait(timeout=60) == 0
    return folder


class TestReport:
    def test_bars_and_summary_match_the_history(self, known_history):
        start = json.loads((known_history / "snapshots.json").read_text())["start"]
        report = (known_history / "report.html").read_text()
        s = str
        # alice's lease ran out at +300; carol took the file over at +400.
        assert marks(report) == (sorted([
            ("file:src/app.py", "alice", s(start), s(start + 400)),
            ("file:src/app.py", "carol", s(start + 400), s(start + 450)),
            ("file:src/app.py", "alice", s(start + 460), ""),
            ("task:deploy", "bob", s(start), s(start + 40)),
        ]), [
            # agent, claims, seconds held, takeovers made, suffered, sent, received
            ("alice", "2", "440", "0", "1", "1", "1"),
            ("bob", "1", "40", "0", "0", "0", "2"),
            ("carol", "1", "50", "1", "0", "1", "1"),
        ])
        window = (known_history / "window.html").read_text()
        assert marks(window) == (sorted([
            ("file:src/app.py", "alice", s(start), s(start + 400)),
            ("file:src/app.py", "carol", s(start + 400), s(start + 450)),
        ]), [
            ("alice", "0", "100", "0", "1", "0", "0"),
            ("carol", "1", "20", "1", "0", "0", "0"),
        ])

    def test_self_contained_escaped_and_read_only(self, known_history):
        report = (known_history / "report.html").read_text()
        lowered = report.lower()
        for request in ("<script", " src=", " href=", "url(", "@import", "http:", "https:"):
            assert request not in lowered
        assert HOSTILE not in report and "&lt;script&gt;alert(1)&lt;/script&gt;" in report
        snapshots = json.loads((known_history / "snapshots.json").read_text())
        assert snapshots["before"] == snapshots["after"]

    @pytest.mark.skipif(not unshare_available(), reason="needs root and unshare")
    @pytest.mark.browser
    def test_opens_in_the_browser_without_a_network(self, known_history):
        from browser import CHROMIUM, browser_env, missing

        if missing():
            pytest.skip(missing())
        command = ["unshare", "--net", CHROMIUM, "--headless=new", "--no-sandbox",
                   "--disable-gpu", "--dump-dom", (known_history / "report.html").as_uri()]
        dom = subprocess.run(command, capture_output=True, text=True, timeout=120, check=True,
                             env=browser_env())
        assert marks(dom.stdout) == marks((known_history / "report.html").read_text())


# --- The live page -----------------------------------------------------------------------


def fetch(url, host=None):
    request = urllib.request.Request(url, headers={"Host": host} if host else {})
    with urllib.request.urlopen(request, timeout=30) as response:
        return response.read().decode("utf-8")


def text(driver, element_id):
    """The text of an element of the live part, read in one go: the part is replaced
    every second, so a found element goes stale."""
    return driver.execute_script(
        "return document.getElementById(arguments[0]).innerText", element_id)


def wait_for(driver, condition):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, 15, poll_frequency=0.1).until(lambda _: condition())


class TestPage:
    @pytest.mark.browser
    @pytest.mark.slow
    def test_live_in_the_browser_escaped_and_read_only(self, state):
        state.claim_file("alice", "src/app.py")
        state.send_message(HOSTILE, "bob", HOSTILE_ATTRIBUTE)
        before = galtro.snapshot(state)
        server = dashboard.start(state)
        driver = chromium()
        try:
            driver.get(server.url)
            assert driver.title == "galtro dashboard"
            claims = text(driver, "claims")
            assert "src/app.py" in claims and "alice" in claims
            read_at = text(driver, "read-at")
            wait_for(driver, lambda: text(driver, "read-at") != read_at)
            assert galtro.snapshot(state) == before
            # Made after the page loaded: shown without a reload, as text.
            state.claim_task(HOSTILE, HOSTILE_ATTRIBUTE)
            before = galtro.snapshot(state)
            wait_for(driver, lambda: HOSTILE_ATTRIBUTE in text(driver, "claims"))
            messages = text(driver, "messages")
            assert f"{HOSTILE} → bob" in messages and HOSTILE_ATTRIBUTE in messages
            assert driver.execute_script("return document.querySelectorAll('img').length") == 0
            assert driver.execute_script(
                "return document.querySelectorAll('#live script').length") == 0
            titles = driver.execute_script(
                "return Array.from(document.querySelectorAll('g.holding title'),"
                " t => t.textContent)")
            assert any(title.startswith(f"{HOSTILE} holds task:{HOSTILE_ATTRIBUTE} from ")
                       for title in titles)
            BUILD.mkdir(exist_ok=True)
            assert driver.save_screenshot(str(BUILD / "dashboard-test.png"))
        finally:
            driver.quit()
            server.stop()
        assert galtro.snapshot(state) == before

    @needs_faketime
    @pytest.mark.browser
    @pytest.mark.slow
    def test_an_expired_lease_shows_as_expired(self, tmp_path):
        child = faked_child(tmp_path, "expired", stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
        driver = None
        try:
            url = child.stdout.readline().strip()
            assert url.startswith("http://127.0.0.1:"), url
            driver = chromium()
            driver.get(url)
            rows = dict(driver.execute_script(
                "return Array.from(document.querySelectorAll('#claims tr.claim'), row =>"
                " [row.dataset.key, [row.className, row.querySelector('.lease-left').innerText]])"))
            assert set(rows) == {"file:src/legacy.py", "file:src/fresh.py"}
            assert rows["file:src/legacy.py"] == ["claim expired", "expired"]
            assert rows["file:src/fresh.py"][0] == "claim"
            assert re.fullmatch(r"[1-5]m\d\ds", rows["file:src/fresh.py"][1])
            assert "1 (1 expired)" in text(driver, "agents")
        finally:
            if driver is not None:
                driver.quit()
            child.stdin.close()
            child.wait(timeout=30)

    def test_redis_page_report_and_command_line(self, redis_server, redis_state, tmp_path):
        redis_state.claim_file("alice", HOSTILE)
        redis_state.broadcast("bob", HOSTILE)
        before = galtro.snapshot(redis_state)
        command = [sys.executable, "-m", "galtro", "--url", redis_server.url, "--namespace",
                   redis_state.namespace]
        served = subprocess.Popen([*command, "dashboard", "--port", "0"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            line = served.stdout.readline()
            url = line.split()[3]
            assert line == f"galtro dashboard at {url} (Ctrl-C stops it)\n"
            for _ in range(3):
                live = fetch(url + "live?window=60")
            assert "file:&lt;script&gt;alert(1)&lt;/script&gt;" in live and HOSTILE not in live
            with pytest.raises(urllib.error.HTTPError) as refused:
                fetch(url, host="attacker.example")
            assert refused.value.code == 400
            with pytest.raises(urllib.error.HTTPError) as refused:
                fetch(url + "live?window=5")
            assert refused.value.code == 400
        finally:
            served.terminate()
            served.wait(timeout=30)
        report = tmp_path / "report.html"
        run = subprocess.run([sys.executable, "-m", "galtro", "--url", "redis://elsewhere:1",
                              "report", "--html", str(report), "--since", "2026-01-01T00:00:00",
                              "--url", redis_server.url, "--namespace", redis_state.namespace],
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr
        holdings_in_report, summaries = marks(report.read_text())
        assert [(key, agent, end) for key, agent, _, end in holdings_in_report] == [
            (f"file:{HOSTILE}", "alice", "")]
        assert [row[0] for row in summaries] == ["alice", "bob"]
        assert galtro.snapshot(redis_state) == before

    def test_refuses_a_host_other_machines_reach(self, redis_server, tmp_path):
        base = [sys.executable, "-m", "galtro", "--url", redis_server.url]
        run = subprocess.run([*base, "dashboard", "--host", "0.0.0.0", "--port", "0"],
                             capture_output=True, text=True, timeout=60)
        assert (run.returncode, run.stdout) == (2, "")
        assert run.stderr == ("galtro: cannot serve on 0.0.0.0 port 0: 0.0.0.0 is not a "
                              "loopback address: the dashboard would be open to other machines;"
                              " allow that explicitly (--allow-remote)\n")
        run = subprocess.run([*base, "report", "--html", str(tmp_path / "r.html"), "--since",
                              "20", "--until", "10"], capture_output=True, text=True, timeout=60)
        assert (run.returncode, run.stderr) == (2, "galtro: --until is before --since\n")

    def test_a_store_out_of_reach_is_reported_not_crashed(self, redis_server, tmp_path):
        state = galtro.RedisCoordinationState.from_url(f"unix://{tmp_path}/no-server.sock")
        server = dashboard.start(state)
        try:
            for _ in range(2):
                with pytest.raises(urllib.error.HTTPError) as failed:
                    fetch(server.url + "live")
                assert failed.value.code == 503
                assert failed.value.read().decode().startswith("cannot read the state: ")
        finally:
            server.stop()
            state.client.close()

    def test_caps_what_it_draws_and_says_so(self, state):
        for n in range(120):
            state.claim_file(f"agent-{n % 110}", f"src/{n}.py")
        server = dashboard.start(state)
        try:
            live = fetch(server.url + "live")
        finally:
            server.stop()
        assert live.count('<tr class="claim') == 100 and live.count('<tr class="agent"') == 100
        assert "showing the newest 100 of 120</p>" in live
        assert "showing the newest 100 of 110</p>" in live
        assert "showing the newest 40 of 120 resources</p>" in live
