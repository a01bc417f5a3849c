"""The galtro command. Through main() on an in-process state: argument checks, exit
statuses, refusals (plain and JSON), waiting, renewing, evicting, the agents' table and
the history cursor that watch follows. As processes against a real redis-server: output
that cannot be written (closed pipe, /dev/full, an ASCII locale) loses no message,
watch on a server whose clock differs from the client's, run, and the shell agents'
example of docs/helpers.md run as written."""

import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections import Counter

import pytest

import galtro
import galtro_core
from galtro import _inspect
from galtro.cli import main
from doc_text import path_with_galtro, section_blocks

NOWHERE = "unix:///nonexistent/galtro.sock"


def has_redis_class():
    try:
        return hasattr(galtro, "RedisCoordinationState")
    except ImportError:  # redis-py is missing
        return False


needs_redis = pytest.mark.skipif(not has_redis_class(),
                                 reason="galtro.RedisCoordinationState is not available")


def run(*args, env=None, input=None, drop=(), **options):
    environment = {**os.environ, **(env or {})}
    for name in drop:
        environment.pop(name, None)
    if "stdout" not in options:
        options["capture_output"] = True
    options.setdefault("text", True)
    return subprocess.run([sys.executable, "-m", "galtro", *args], env=environment,
                          input=input, timeout=60, **options)


@pytest.fixture
def galtro_cmd(capsys):
    """main() in this process: (status, stdout, stderr). With state=, on that state."""

    def call(*argv, state=None):
        status = main(list(argv), state=state)
        captured = capsys.readouterr()
        return status, captured.out, captured.err

    return call


def one_line(result, status=2):
    code, out, err = result
    assert (code, out) == (status, ""), result
    assert len(err.splitlines()) == 1 and err.endswith("\n"), err
    return err


# Each is refused while the command line is parsed: one line, status 2, before the
# store (which does not exist) is opened.
ODD_ARGUMENTS = [
    (["history", "--since", "inf"], "--since"), (["history", "--since", "nan"], "--since"),
    (["history", "--since", "1e17"], "--since"), (["history", "--since", "-1"], "--since"),
    (["history", "--count", "-1"], "--count"), (["history", "--count", "2.5"], "--count"),
    (["history", "--count", str(2**63)], "--count"), (["watch", "--interval", "-1"], "--interval"),
    (["watch", "--interval", "0"], "--interval"), (["watch", "--interval", "inf"], "--interval"),
    (["watch", "--since", "1e17"], "--since"), (["claim-file", "--wait", "-1", "A", "a"], "--wait"),
    (["claim-task", "--wait", "nan", "A", "t"], "--wait"), (["send", "A", "B", "\udcff"], "UTF-8"),
    (["renew", "A", "task:t", "--file", "a"], "name the claim once"),
    (["release", "A"], "name the claim once"),
    (["run", "A", "--file", "a"], "needs a command"), (["run", "A", "--", "true"], "--file"),
    (["claim-file", "--root", "/repo", "A", "/elsewhere/a.py"], "is not a file under"),
    (["claim-file", "A"], "required"), (["no-such-command"], "invalid choice"), ([], "required"),
]


def test_odd_arguments_are_one_line_and_status_2_before_the_store_is_used(galtro_cmd):
    for argv, named in ODD_ARGUMENTS:
        error = one_line(galtro_cmd("--url", NOWHERE, *argv))
        assert error.startswith("galtro: ") and named in error, (argv, error)
    help = run("--help")
    assert help.returncode == 0 and "exit status" in help.stdout
    assert "galtro init claude" in help.stdout and "galtro hook" in help.stdout
    assert "claim-file --root" not in help.stdout  # the old shell hooks are gone


def test_claims_refusals_and_json_refusals(galtro_cmd):
    state = galtro_core.CoordinationState()
    assert galtro_cmd("claim-file", "--root", "/repo", "A", "/repo/src/./a.py",
                      state=state) == (0, "file:src/a.py\n", "")
    assert galtro_cmd("claim-task", "A", "t", "--json", state=state)[1:] == (
        '{"resource_key": "task:t", "holder": "A", "renewed": false}\n', "")
    # Refused: the method's own message, or the same as JSON with its parts.
    assert galtro_cmd("claim-file", "B", "src/a.py", state=state) == (
        1, "", "A already holds claim on src/a.py\n")
    assert one_line(galtro_cmd("claim-task", "A", "t", state=state), 1) == (
        "A already holds claim on task t\n")
    refusal = json.loads(one_line(galtro_cmd("--json", "renew", "B", "--task", "t",
                                             state=state), 1))
    assert refusal == {"error": "refused", "message": "B cannot renew a claim held by A",
                       "holder": "A", "resource_key": "task:t"}
    refusal = json.loads(one_line(galtro_cmd("release", "A", "task:none", "--json",
                                             state=state), 1))
    assert refusal == {"error": "refused", "message": "no claim found for A", "holder": None,
                       "resource_key": "task:none"}
    # --or-renew renews the agent's own claim; the others' claims still refuse.
    assert galtro_cmd("claim-task", "--or-renew", "A", "t", state=state)[:2] == (0, "task:t\n")
    assert galtro_cmd("claim-task", "--or-renew", "B", "t", state=state)[0] == 1
    # renew and release by --file under --root, by --task, or by key; options after the
    # subcommand too.
    assert galtro_cmd("renew", "A", "--root", "/repo", "--file", "src/a.py",
                      state=state)[:2] == (0, "file:src/a.py\n")
    assert galtro_cmd("release", "A", "--task", "t", "--url", NOWHERE, "--namespace", "n",
                      state=state)[:2] == (0, "task:t\n")
    assert galtro_cmd("release", "A", "file:src/a.py", state=state)[:2] == (0,
                                                                            "file:src/a.py\n")
    assert state.status("A") == "idle"


def test_wait_takes_the_claim_once_it_is_released(galtro_cmd):
    state = galtro_core.CoordinationState()
    state.claim_file("A", "a.py")
    releaser = threading.Timer(0.3, state.release, ("A", "file:a.py"))
    releaser.start()
    started = time.monotonic()
    assert galtro_cmd("claim-file", "--wait", "20", "B", "a.py", state=state)[:2] == (
        0, "file:a.py\n")
    assert 0.3 <= time.monotonic() - started < 10
    releaser.join()
    started = time.monotonic()
    assert galtro_cmd("claim-file", "--wait", "0.3", "A", "a.py", state=state) == (
        1, "", "B already holds claim on a.py\n")
    assert time.monotonic() - started >= 0.3


def test_evict_and_the_agents_table(galtro_cmd):
    state = galtro_core.CoordinationState()
    state.claim_file("dead", "a.py")
    state.claim_task("dead", "t")
    state.broadcast("live", "are you there?")
    before = time.time()
    code, out, _ = galtro_cmd("--json", "agents", state=state)
    agents = {a["agent_id"]: a for a in json.loads(out)}
    assert {name: (a["status"], a["inbox"]) for name, a in agents.items()} == {
        "dead": ("busy", 1), "live": ("idle", 1)}
    assert all(before - 2 <= a["last_active"] <= before for a in agents.values())
    table = galtro_cmd("agents", state=state)[1].splitlines()
    assert table[0].split() == ["AGENT", "STATUS", "INBOX", "LAST", "ACTIVE"]
    assert re.match(r"dead\s+busy\s+1\s+\ds ago$", table[1]), table

    assert galtro_cmd("evict", "dead", state=state) == (0, "file:a.py\ntask:t\n", "")
    assert (state.status("dead"), galtro.claims(state)) == ("idle", [])
    assert json.loads(galtro_cmd("--json", "evict", "dead", state=state)[1]) == {
        "agent_id": "dead", "released": [], "status": "idle"}


def test_messages_and_statuses(galtro_cmd):
    state = galtro_core.CoordinationState()
    sent = json.loads(galtro_cmd("send", "A", "B", "café ☕", "--json", state=state)[1])
    assert (sent["from_agent"], sent["to_agent"], sent["content"]) == ("A", "B", "café ☕")
    assert galtro_cmd("broadcast", "A", "all", state=state)[1].endswith("  A -> *: all\n")
    assert [m["content"] for m in json.loads(galtro_cmd("--json", "inbox", "B",
                                                        state=state)[1])] == ["café ☕", "all"]
    drained = galtro_cmd("drain", "B", state=state)[1].splitlines()
    assert [line.split("  ", 1)[1] for line in drained] == ["A -> B: café ☕", "A -> B: all"]
    assert galtro_cmd("--json", "drain", "B", state=state)[:2] == (0, "[]\n")
    assert galtro_cmd("status", "B", "--json", state=state)[1] == (
        '{"agent_id": "B", "status": "idle"}\n')
    history = json.loads(galtro_cmd("--json", "history", "--count", "1", state=state)[1])
    assert [event["kind"] for event in history] == ["message_sent"]


def test_history_cursor_returns_every_event_once_while_threads_append():
    """What watch follows: pages from a cursor, read while four threads append across
    second boundaries, hold every event exactly once, in each thread's order."""
    state = galtro_core.CoordinationState()
    state.send_message("before", "x", "not after the start")  # an earlier second's event
    time.sleep(1.05)
    cursor = _inspect.history_start(state)
    writers = [threading.Thread(target=lambda n=n: [
        state.send_message(f"w{n}", "x", str(k)) for k in range(3000)]) for n in range(4)]
    for writer in writers:
        writer.start()
    seen = []
    while any(writer.is_alive() for writer in writers) or not seen:
        page = _inspect.history_after(state, cursor, 700)
        assert page.missed == 0
        seen += page.events
        cursor = page.cursor
    page = _inspect.history_after(state, cursor)
    seen, cursor = seen + page.events, page.cursor
    sent = [(e.fields["from_agent"], int(e.fields["content"])) for e in seen]
    assert len(sent) == 12000 and len(set(sent)) == 12000
    for n in range(4):
        assert [k for sender, k in sent if sender == f"w{n}"] == list(range(3000))
    assert _inspect.history_after(state, cursor).events == []
    with pytest.raises(ValueError, match="is not a history cursor"):
        _inspect.history_after(state, "12:x")


def test_history_cursor_pages_through_settled_seconds():
    """Short pages of seconds already settled leave nothing behind, an empty page
    included."""
    state = galtro_core.CoordinationState()
    start = int(time.time())
    for k in range(5):
        state.send_message("A", "B", str(k))
    time.sleep(start + 3.1 - time.time())  # the seconds written are settled
    cursor, seen = _inspect.history_start(state, start), []
    for _ in range(4):
        cursor = _inspect.history_after(state, cursor, 0).cursor
        page = _inspect.history_after(state, cursor, 2)
        seen, cursor = seen + page.events, page.cursor
    assert [event.fields["content"] for event in seen] == ["0", "1", "2", "3", "4"]


@pytest.mark.skipif(importlib.util.find_spec("galtro.redis") is None,
                    reason="galtro has no Redis state")
def test_without_redis_py_it_says_so():
    code = ("import sys; sys.modules['redis'] = None; from galtro.cli import main; "
            "sys.exit(main(['--url', 'redis://localhost', 'claims']))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    assert "pip install 'galtro_core[redis]'" in result.stderr


@needs_redis
def test_an_unreachable_server_says_what_to_try(tmp_path):
    url = f"unix://{tmp_path}/none.sock"
    result = run("status", "A", env={"GALTRO_URL": url})
    error = one_line((result.returncode, result.stdout, result.stderr))
    assert f"cannot reach {url}" in error
    assert "redis-server" in error and "GALTRO_URL" in error
    result = run("claims", "--url", url, "--json")  # the options after the command
    assert f"cannot reach {url}" in one_line((result.returncode, result.stdout, result.stderr))


# --- Output that cannot be written, against a real server -------------------------------


@pytest.fixture
def shared(shared_store):
    """A store that processes share: (the environment that names it, its state)."""
    url, state = shared_store
    return {"GALTRO_URL": url, "GALTRO_NAMESPACE": state.namespace}, state


def ascii_locale():
    """The environment of an ASCII-only locale: no UTF-8 mode, no locale coercion."""
    return {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}


def test_output_failures_exit_2_and_lose_no_message(shared):
    env, state = shared
    probe = subprocess.run([sys.executable, "-c", "import sys; print(sys.stdout.encoding)"],
                           capture_output=True, text=True, env={**os.environ, **ascii_locale()},
                           timeout=60)
    assert probe.stdout.strip().lower() in ("ascii", "ansi_x3.4-1968")  # the test means it

    state.send_message("alice", "bob", "café ☕")
    # A closed pipe and a full disk: status 2, one line naming the output, nothing taken.
    reader, writer = os.pipe()
    os.close(reader)
    with open("/dev/full", "w") as full:
        for stdout in (writer, full):
            result = run("drain", "bob", env=env, stdout=stdout, stderr=subprocess.PIPE)
            assert result.returncode == 2, result
            assert re.fullmatch(r"galtro: cannot write to standard output: .*\n", result.stderr)
            assert state.inbox("bob")[0][2] == "café ☕"
        os.close(writer)
        # The claim is taken; only writing its key failed: 2, not 1.
        result = run("claim-file", "alice", "a.py", env=env, stdout=full,
                     stderr=subprocess.PIPE)
        assert result.returncode == 2 and "standard output" in result.stderr
        assert state.status("alice") == "busy"
    # An ASCII locale: UTF-8 out, and the messages leave the inbox once written.
    result = run("drain", "bob", env={**env, **ascii_locale()}, drop=["PYTHONIOENCODING"],
                 text=False)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode("utf-8").endswith("alice -> bob: café ☕\n")
    assert state.inbox("bob") == []


@needs_redis
@pytest.mark.redis
def test_watch_starts_on_the_server_clock(tmp_path):
    """The server's clock is stuck years before the client's: watch still shows what
    happens after it starts."""
    from redis_server import DATEFUDGE, RedisServer, available

    if not available() or shutil.which(DATEFUDGE) is None:
        pytest.skip("needs redis-server and datefudge (Debian packages)")
    server = RedisServer(tmp_path).start(fake_time="2020-09-13 12:26:40 UTC")
    state = galtro.RedisCoordinationState.from_url(server.url, "clock")
    env = {**os.environ, "GALTRO_URL": server.url, "GALTRO_NAMESPACE": "clock"}
    watcher = subprocess.Popen([sys.executable, "-m", "galtro", "watch", "--json",
                                "--interval", "0.05"], stdout=subprocess.PIPE, text=True,
                               env=env)
    try:
        time.sleep(1)
        state.claim_file("A", "new")
        state.send_message("A", "B", "one")
        events = [json.loads(watcher.stdout.readline()) for _ in range(2)]
        assert [(e["kind"], e["time"]) for e in events] == [("claimed", 1600000000),
                                                            ("message_sent", 1600000000)]
    finally:
        watcher.terminate()
        watcher.wait(timeout=30)
        state.client.close()
        server.stop()


@needs_redis
def test_watch_says_when_retention_removed_events(redis_server, namespace):
    state = galtro.RedisCoordinationState.from_url(redis_server.url, namespace,
                                                   history_maxlen=1)
    env = {**os.environ, "GALTRO_URL": redis_server.url, "GALTRO_NAMESPACE": namespace}
    watcher = subprocess.Popen([sys.executable, "-m", "galtro", "watch", "--json",
                                "--interval", "1", "--since", str(int(time.time()))],
                               stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env,
                               # A test run started in the background ignores SIGINT,
                               # and its children would inherit that.
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        state.send_message("A", "B", "ready")
        assert json.loads(watcher.stdout.readline())["fields"]["content"] == "ready"
        for k in range(300):  # trimmed to 1 to 100 entries as they come, before a read
            state.send_message("A", "B", str(k))
        shown = []
        while not shown or shown[-1] != "299":
            shown.append(json.loads(watcher.stdout.readline())["fields"]["content"])
    finally:
        watcher.send_signal(signal.SIGINT)
        _, errors = watcher.communicate(timeout=30)
        state.client.close()
    assert watcher.returncode == 0
    missed = sum(int(re.fullmatch(r"galtro: (\d+) events were removed by retention before "
                                  r"they could be read", line).group(1))
                 for line in errors.splitlines())
    assert missed > 0 and missed + len(shown) == 300
    assert [int(k) for k in shown] == sorted(int(k) for k in shown)


# --- Commands as processes on a shared server --------------------------------------------


def test_run_holds_the_claims_while_its_command_runs(shared, tmp_path):
    env, state = shared
    look = (f"{sys.executable} -m galtro --json claims; echo $GALTRO_AGENT; exit 3")
    result = run("run", "A", "--file", "a.py", "--task", "t", "--", "sh", "-c", look, env=env)
    assert (result.returncode, result.stderr) == (3, ""), result
    held, agent = result.stdout.splitlines()
    assert [(c["resource_key"], c["holder"]) for c in json.loads(held)] == [
        ("file:a.py", "A"), ("task:t", "A")]
    assert (agent, galtro.claims(state)) == ("A", [])
    # One claim refused: nothing runs and nothing stays held.
    state.claim_task("B", "t")
    result = run("run", "A", "--file", "a.py", "--task", "t", "--", "touch", "ran", env=env,
                 cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, "B already holds claim on task t\n")
    assert not (tmp_path / "ran").exists()
    assert [c.resource_key for c in galtro.claims(state)] == ["task:t"]
    assert run("run", "A", "--file", "a.py", "--", "/nonexistent", env=env).returncode == 127
    # SIGTERM is passed on to the command; the claims are released when it has ended.
    state.release("B", "task:t")
    runner = subprocess.Popen([sys.executable, "-m", "galtro", "run", "A", "--task", "t", "--",
                               "sleep", "60"], env={**os.environ, **env})
    for _ in range(600):
        if galtro.claims(state):
            break
        time.sleep(0.05)
    runner.send_signal(signal.SIGTERM)
    assert runner.wait(timeout=30) == 128 + signal.SIGTERM
    assert galtro.claims(state) == []
    # Stopped while it waits for a claim: the claims it took are released.
    state.claim_task("B", "t")
    runner = subprocess.Popen([sys.executable, "-m", "galtro", "run", "A", "--file", "a.py",
                               "--task", "t", "--wait", "60", "--", "touch", "ran"],
                              env={**os.environ, **env}, cwd=tmp_path)
    for _ in range(600):
        if len(galtro.claims(state)) == 2:
            break
        time.sleep(0.05)
    runner.send_signal(signal.SIGTERM)
    assert runner.wait(timeout=30) == 128 + signal.SIGTERM
    assert [c.holder for c in galtro.claims(state)] == ["B"]
    assert not (tmp_path / "ran").exists()


def readme_shell_example():
    return section_blocks("docs/helpers.md", "Shell agents", "sh")[0]


def test_readme_shell_example_runs_as_written(shared, tmp_path):
    store, state = shared
    env = {**os.environ, "PATH": path_with_galtro(tmp_path), **store}
    state.claim_file("bob", "src/parser.py")
    threading.Timer(1.0, state.release, ("bob", "file:src/parser.py")).start()
    result = subprocess.run(["bash", "-e", "-c", readme_shell_example()], capture_output=True,
                            text=True, env=env, cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result
    assert galtro.claims(state) == [] and state.status("alice") == "idle"
