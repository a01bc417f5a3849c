"""What the SQLite state adds to the nine methods, on real files and real processes: a
race for an expired claim (its lease boundary under libfaketime is in
test_lease_faketime.py, with the in-process class's), writers killed
mid-load, files it must refuse untouched, a busy file, fork and threads, namespaces
and retention, and the galtro command on its default store in a fresh repository."""

import asyncio
import gc
import hashlib
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

import galtro
from galtro import SqliteCoordinationState, StateFileError
from galtro._store import default_url, describe, git_common_dir
from test_processes import RACERS, race

SRC = str(Path(galtro.__file__).resolve().parents[1])

pytestmark = pytest.mark.sqlite


def child_env(**extra):
    """The environment of a child interpreter that imports this galtro."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("FAKETIME", "GALTRO_", "GIT_"))}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [SRC, os.environ.get("PYTHONPATH")]))
    env.update(extra)
    return env


def age_claims(path, seconds):
    """Moves every claim in the file ``seconds`` into the past."""
    with sqlite3.connect(path) as raw:
        raw.execute("UPDATE claims SET claimed_at = claimed_at - ?, renewed_at = renewed_at - ?",
                    (seconds, seconds))
    raw.close()


@pytest.mark.processes
@pytest.mark.slow
def test_processes_race_for_an_expired_claim(tmp_path):
    url = f"sqlite://{tmp_path}/state.sqlite3"
    state = SqliteCoordinationState.from_url(url, "race")
    state.claim_file("old", "contested.py")
    age_claims(state.path, 300)
    winner = race(url, "race", "contested.py")
    assert state.status(winner) == "busy" and state.status("old") == "busy"
    events = galtro.history(state)
    assert [(e.kind, e.fields["agent_id"]) for e in events[-2:]] == [
        ("claimed", winner), ("released", "old")]
    assert len(events) == 3 and RACERS == 8


# --- writers killed mid-load ---

WRITER = r"""
import sys, galtro
state = galtro.SqliteCoordinationState(sys.argv[1], "load")
name = sys.argv[2]
for n in range(100_000):
    state.claim_file(name, f"{name}-{n}")
    state.send_message(name, "sink", f"{name}:{n}")
    print(n, flush=True)
"""


@pytest.mark.processes
def test_writers_killed_mid_load_lose_nothing_acknowledged(tmp_path):
    path = tmp_path / "state.sqlite3"
    SqliteCoordinationState(path, "load")
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(path), f"w{i}"],
                                stdout=subprocess.PIPE, text=True, env=child_env())
               for i in range(3)]
    acknowledged = {}
    for i, writer in enumerate(writers):
        for _ in range(40 + 20 * i):  # each is killed at its own point
            acknowledged[f"w{i}"] = int(writer.stdout.readline())
    for writer in writers:
        writer.send_signal(signal.SIGKILL)
    for writer in writers:
        rest = writer.stdout.read().split()  # acknowledged before the signal landed
        if rest:
            acknowledged[writer.args[-1]] = int(rest[-1])
        writer.wait(timeout=60)
        assert writer.returncode == -signal.SIGKILL
    with sqlite3.connect(path) as raw:
        assert raw.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    raw.close()
    state = SqliteCoordinationState(path, "load")
    claims = {claim.resource_key for claim in galtro.claims(state)}
    sink = [content for _, _, content, _ in state.inbox("sink")]
    for name, last in acknowledged.items():
        mine = [content for content in sink if content.startswith(name + ":")]
        assert mine[:last + 1] == [f"{name}:{n}" for n in range(last + 1)]
        assert len(mine) in (last + 1, last + 2)  # one more may have committed unprinted
        assert {f"file:{name}-{n}" for n in range(last + 1)} <= claims


# --- files it must refuse, unchanged ---

def foreign_database(path):
    with sqlite3.connect(path) as raw:
        raw.execute("CREATE TABLE notes (text TEXT)")
        raw.execute("INSERT INTO notes VALUES ('mine')")
    raw.close()


def newer_state(path):
    state = SqliteCoordinationState(path)
    state.claim_file("a", "p")
    del state
    gc.collect()  # the standard library's connections close when collected
    with sqlite3.connect(path) as raw:
        raw.execute("PRAGMA user_version = 99")
    raw.close()


BAD_FILES = {
    "not a database": (lambda path: path.write_bytes(b"not a database\n" * 100),
                       "is not a galtro state file"),
    "another program's database": (foreign_database, "SQLite database of another program"),
    "a newer layout": (newer_state, "newer galtro"),
}


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.mark.parametrize("make, message", BAD_FILES.values(), ids=BAD_FILES.keys())
def test_refused_files_stay_byte_for_byte(tmp_path, make, message):
    path = tmp_path / "state.sqlite3"
    make(path)
    before = digest(path)
    with pytest.raises(StateFileError, match=message) as refused:
        SqliteCoordinationState(path)
    assert str(path) in str(refused.value)
    assert digest(path) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["state.sqlite3"]


UNWRITABLE = r"""
import sys, galtro
for path in sys.argv[1:]:
    try:
        galtro.SqliteCoordinationState(path).claim_file("a", "p")
    except galtro.StateFileError as error:
        print(error)
"""


def test_read_only_file_and_uncreatable_folder():
    # In a folder of its own under the system's temporary folder, which another user can
    # reach: root is bound by permissions only through another user.
    folder = Path(tempfile.mkdtemp())
    as_other = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("running as root without setpriv to drop to another user")
        as_other = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        probe = subprocess.run([*as_other, sys.executable, "-c", "import galtro.sqlite"],
                               capture_output=True, text=True, env=child_env(), timeout=60)
        if probe.returncode != 0:
            shutil.rmtree(folder)
            pytest.skip("another user cannot run this interpreter with its packages: "
                        + (probe.stderr.strip().splitlines() or ["?"])[-1])
    path = folder / "state.sqlite3"
    try:
        SqliteCoordinationState(path).claim_file("x", "held")
        gc.collect()
        before = digest(path)
        os.chmod(path, 0o444)
        os.chmod(folder, 0o555)
        result = subprocess.run([*as_other, sys.executable, "-c", UNWRITABLE, str(path),
                                 str(folder / "sub" / "state.sqlite3")], capture_output=True,
                                text=True, env=child_env(), timeout=60)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert len(lines) == 2 and lines[0].startswith(f"cannot use the state file {path}:")
        assert lines[1].startswith(f"cannot create the state file {folder}/sub/state.sqlite3")
        assert digest(path) == before and not (folder / "sub").exists()
    finally:
        os.chmod(folder, 0o700)
        shutil.rmtree(folder)


def test_new_files_are_the_owners_and_a_busy_file_times_out(tmp_path):
    path = tmp_path / "new" / "state.sqlite3"
    state = SqliteCoordinationState(path, timeout=0.2)
    assert os.stat(path.parent).st_mode & 0o777 == 0o700
    for name in ("state.sqlite3", "state.sqlite3-wal", "state.sqlite3-shm"):
        assert os.stat(path.parent / name).st_mode & 0o777 == 0o600, name
    empty = tmp_path / "empty.sqlite3"
    empty.touch()
    assert SqliteCoordinationState(empty).claim_task("a", "t") == "a"  # an empty file is new
    blocker = sqlite3.connect(path, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    with pytest.raises(TimeoutError, match=str(path)):
        state.claim_file("a", "p")
    blocker.execute("ROLLBACK")
    blocker.close()
    assert galtro.claims(state) == [] and state.status("a") == "idle"


# --- fork and threads on one instance ---

@pytest.mark.processes
def test_a_forked_child_and_eight_threads_share_one_instance(tmp_path):
    state = SqliteCoordinationState(tmp_path / "state.sqlite3")
    state.claim_file("parent", "before-fork")
    pid = os.fork()
    if pid == 0:  # the child: its own connection, never the parent's
        code = 1
        try:
            state.release("parent", "file:before-fork")
            state.send_message("child", "parent", "hello")
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert state.status("parent") == "idle"
    assert [m[:3] for m in state.drain_inbox("parent")] == [("child", "parent", "hello")]

    errors = []

    def work(i):
        try:
            for n in range(50):
                state.claim_task(f"t{i}", f"{i}-{n}")
                state.send_message(f"t{i}", "sink", f"{i}:{n}")
        except Exception as error:  # pragma: no cover - shown by the assertion
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(galtro.claims(state)) == 400
    sink = [content for _, _, content, _ in state.drain_inbox("sink")]
    for i in range(8):
        assert [c for c in sink if c.startswith(f"{i}:")] == [f"{i}:{n}" for n in range(50)]


def test_ahold_runs_the_calls_off_the_event_loop(tmp_path):
    path = tmp_path / "state.sqlite3"
    state = SqliteCoordinationState(path, timeout=5)
    blocker = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    blocker.execute("BEGIN IMMEDIATE")  # another process is writing

    async def main():
        # Only the event loop ends the other write: a claim that blocked the loop
        # would wait out its timeout.
        asyncio.get_running_loop().call_later(0.2, blocker.execute, "ROLLBACK")
        async with galtro.ahold(state, "A", file="a.py") as lease:
            assert [c.holder for c in galtro.claims(state)] == ["A"]
            assert not lease.lost

    asyncio.run(main())
    blocker.close()
    assert galtro.claims(state) == [] and state.status("A") == "idle"


# --- namespaces, retention and the history cursor ---

def test_namespaces_never_meet_and_retention_keeps_the_newest(tmp_path):
    path = tmp_path / "state.sqlite3"
    names = ["a", "ab", "a\x00", "\u00e4", "*", "default"]
    for name in names:
        state = SqliteCoordinationState(path, name)
        state.claim_file(name, "p")
        state.broadcast(name, name)
    for name in names:
        state = SqliteCoordinationState(path, name)
        assert [(c.holder, c.resource_key) for c in galtro.claims(state)] == [(name, "file:p")]
        assert state.inbox(name) == [(name, name, name, state.inbox(name)[0][3])]
        assert galtro.inbox_sizes(state) == {name: 1}
        state.drain_inbox(name)
    with sqlite3.connect(path) as raw:  # a broadcast is kept until all took it out
        assert raw.execute("SELECT count(*) FROM broadcasts").fetchone() == (0,)
    raw.close()

    bounded = SqliteCoordinationState(path, "bounded", history_maxlen=10)
    reader = bounded._reader()
    cursor = reader.history_start(0)
    bounded.send_message("a", "b", "first")
    page = reader.history_after(cursor, 1)
    assert [e.fields["content"] for e in page.events] == ["first"] and page.missed == 0
    for n in range(30):
        bounded.send_message("a", "b", str(n))
    assert [e.fields["content"] for e in galtro.history(bounded)] == [str(n) for n in range(20, 30)]
    page = reader.history_after(page.cursor, 3)
    assert [e.fields["content"] for e in page.events] == ["20", "21", "22"]
    assert page.missed == 20
    assert reader.history_after(page.cursor, None).events[-1].fields["content"] == "29"
    assert reader.history_start(None) == reader.history_start(0)  # all of this second on


def test_delivered_messages_are_removed_exactly(sqlite_state):
    # The rows of this thread's last inbox read are removed by their numbers, so a
    # message equal to a delivered one that arrived after it stays.
    for shown_by in ("this thread", "another reader"):
        sqlite_state.send_message("a", "b", "3")
        shown = sqlite_state.inbox("b")
        sqlite_state.drain_inbox("b")  # another reader took it meanwhile
        sqlite_state.send_message("a", "b", "3")  # the same message again, later
        if shown_by == "another reader":
            sqlite_state.inbox("x")
        sqlite_state._remove_delivered("b", shown)
        left = sqlite_state.drain_inbox("b")
        assert left == shown or shown_by == "another reader", shown_by


# --- the command on its default store ---

@pytest.mark.skipif(not shutil.which("git"), reason="git is not installed")
def test_the_command_shares_the_default_store_of_a_repository(tmp_path):
    repo = tmp_path / "repo"
    env = child_env(HOME=str(tmp_path / "home"), XDG_STATE_HOME="")
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run([*git, "init", "-q", str(repo)], check=True, env=env)
    subprocess.run([*git, "-C", str(repo), "commit", "-q", "--allow-empty", "-m", "x"],
                   check=True, env=env)
    subprocess.run([*git, "-C", str(repo), "worktree", "add", "-q", str(tmp_path / "wt")],
                   check=True, env=env)

    def galtro_command(cwd, *args):
        return subprocess.run([sys.executable, "-m", "galtro", *args], cwd=cwd, env=env,
                              capture_output=True, text=True, timeout=60)

    first = galtro_command(repo, "claim-file", "alice", "src/a.py")
    second = galtro_command(tmp_path / "wt", "claim-file", "bob", "src/a.py")
    assert (first.returncode, first.stdout) == (0, "file:src/a.py\n"), first
    assert (second.returncode, second.stderr) == (1, "alice already holds claim on src/a.py\n")
    state_file = repo / ".git" / "galtro.sqlite3"
    where = galtro_command(tmp_path / "wt" / ".", "where")
    assert where.stdout == f"SQLite file {state_file}, namespace default\n"
    assert f"in use here: SQLite file {state_file}" in galtro_command(repo, "--help").stdout
    assert subprocess.run(["git", "-C", str(repo), "status", "--porcelain"], env=env,
                          capture_output=True, text=True).stdout == ""
    outside = galtro_command(tmp_path, "where").stdout
    assert outside == f"SQLite file {tmp_path}/home/.local/state/galtro/state.sqlite3, " \
                      "namespace default\n"


def test_default_url_follows_git_without_running_it(tmp_path, monkeypatch):
    monkeypatch.delenv("GIT_DIR", raising=False)
    common = tmp_path / "repo" / ".git"
    (common / "worktrees" / "w").mkdir(parents=True)
    (common / "worktrees" / "w" / "commondir").write_text("../..\n")
    (tmp_path / "w" / "deep").mkdir(parents=True)
    (tmp_path / "w" / ".git").write_text(f"gitdir: {common}/worktrees/w\n")
    assert git_common_dir(str(tmp_path / "w" / "deep")) == str(common)
    assert git_common_dir(str(tmp_path / "repo")) == str(common)
    monkeypatch.chdir(tmp_path / "w" / "deep")
    assert default_url() == f"sqlite://{common}/galtro.sqlite3"
    assert describe("sqlite:rel.db", "n") == f"SQLite file {tmp_path}/w/deep/rel.db, namespace n"
    assert describe("redis://h:1/0", "n") == "Redis at redis://h:1/0, namespace n"
