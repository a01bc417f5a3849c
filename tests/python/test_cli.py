"""The galtro command: usage and connection errors without a server; against a real
redis-server, every command's exit status and output (plain and --json), watch, and
the README's shell hooks run as written."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import galtro

ROOT = Path(__file__).resolve().parents[2]


def has_redis_class():
    try:
        return hasattr(galtro, "RedisCoordinationState")
    except ImportError:  # redis-py is missing
        return False


needs_redis = pytest.mark.skipif(not has_redis_class(),
                                 reason="galtro.RedisCoordinationState is not available")


def run(*args, env=None, input=None):
    environment = {**os.environ, **(env or {})}
    return subprocess.run([sys.executable, "-m", "galtro", *args], capture_output=True,
                          text=True, env=environment, input=input, timeout=60)


def one_line_failure(result, code=2):
    assert result.returncode == code, result
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    return result.stderr


def test_usage_errors_are_one_line_and_status_2(tmp_path):
    assert "galtro: " in one_line_failure(run())
    assert "galtro: " in one_line_failure(run("claim-file", "A"))
    assert "galtro: " in one_line_failure(run("no-such-command"))
    outside = run("--url", f"unix://{tmp_path}/none.sock", "claim-file", "--root", "/repo",
                  "A", "/elsewhere/a.py")
    assert "is not a file under" in one_line_failure(outside)
    help = run("--help")
    assert help.returncode == 0 and "exit status" in help.stdout


@pytest.mark.skipif(importlib.util.find_spec("galtro.redis_state") is None,
                    reason="galtro has no Redis state")
def test_without_redis_py_it_says_so():
    code = ("import sys; sys.modules['redis'] = None; from galtro.cli import main; "
            "sys.exit(main(['--url', 'redis://localhost:1/0', 'claims']))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert "pip install 'galtro_core[redis]'" in one_line_failure(result)


@needs_redis
def test_an_unreachable_server_is_status_2(tmp_path):
    result = run("status", "A", env={"GALTRO_URL": f"unix://{tmp_path}/none.sock"})
    assert f"unix://{tmp_path}/none.sock" in one_line_failure(result)


@needs_redis
def test_commands_exit_codes_and_json(redis_server, namespace):
    env = {"GALTRO_URL": redis_server.url, "GALTRO_NAMESPACE": namespace}

    def ok(*args):
        result = run(*args, env=env)
        assert (result.returncode, result.stderr) == (0, ""), result
        return result.stdout

    def refused(*args):
        result = run(*args, env=env)
        assert result.returncode == 1 and result.stdout == "", result
        return result.stderr.rstrip("\n")

    assert ok("claim-file", "A", "a.py") == "file:a.py\n"
    assert json.loads(ok("--json", "claim-task", "A", "t")) == {
        "resource_key": "task:t", "holder": "A"}
    assert refused("claim-file", "B", "a.py") == "A already holds claim on a.py"
    assert refused("claim-task", "B", "t") == "A already holds claim on task t"
    assert refused("renew", "B", "task:t") == "B cannot renew a claim held by A"
    assert refused("release", "A", "file:none") == "no claim found for A"
    assert ok("renew", "A", "task:t") == "task:t\n"
    assert ok("status", "A") == "busy\n"
    assert json.loads(ok("status", "--json", "B")) == {"agent_id": "B", "status": "idle"}

    sent = json.loads(ok("--json", "send", "A", "B", "hi there"))
    assert (sent["from_agent"], sent["to_agent"], sent["content"]) == ("A", "B", "hi there")
    assert ok("broadcast", "A", "all").endswith("  A -> *: all\n")
    assert [m["content"] for m in json.loads(ok("--json", "inbox", "B"))] == ["hi there", "all"]
    drained = ok("drain", "B").splitlines()
    assert [line.split("  ", 1)[1] for line in drained] == ["A -> B: hi there", "A -> B: all"]
    assert ok("--json", "drain", "B") == "[]\n"

    table = ok("claims").splitlines()
    assert table[0].split() == ["KEY", "HOLDER", "LEFT", "RENEWED"]
    assert re.match(r"file:a\.py\s+A\s+[45]m\d\ds\s", table[1]), table
    claims = json.loads(ok("--json", "claims"))
    assert [(c["resource_key"], c["holder"], c["expired"]) for c in claims] == [
        ("file:a.py", "A", False), ("task:t", "A", False)]
    assert {a["agent_id"]: a["status"] for a in json.loads(ok("--json", "agents"))} == {
        "A": "busy", "B": "idle"}
    kinds = [e["kind"] for e in json.loads(ok("--json", "history"))]
    assert kinds == ["claimed", "claimed", "message_sent", "broadcast"]
    assert len(json.loads(ok("--json", "history", "--count", "1"))) == 1
    assert ok("release", "A", "file:a.py") == "file:a.py\n"


@needs_redis
def test_watch_follows_new_events(redis_server, namespace):
    env = {**os.environ, "GALTRO_URL": redis_server.url, "GALTRO_NAMESPACE": namespace}
    state = galtro.RedisCoordinationState.from_url(redis_server.url, namespace)
    state.claim_file("A", "old")  # before the watch: not shown
    time.sleep(1.1)
    watcher = subprocess.Popen([sys.executable, "-m", "galtro", "--json", "watch",
                                "--interval", "0.05"], stdout=subprocess.PIPE, text=True,
                               env=env)
    try:
        time.sleep(1)
        state.claim_file("A", "new")
        state.send_message("A", "B", "one")
        state.send_message("A", "B", "two")
        events = [json.loads(watcher.stdout.readline()) for _ in range(3)]
        assert [(e["kind"], e["fields"].get("content")) for e in events] == [
            ("claimed", None), ("message_sent", "one"), ("message_sent", "two")]
    finally:
        watcher.terminate()
        watcher.wait(timeout=30)
        state.client.close()


def hook_block():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    hooks = readme[readme.index("### Shell hooks for coding agents"):]
    return re.search(r"```sh\n(.*?)```", hooks, re.S).group(1)


@needs_redis
def test_readme_hooks_run_as_written(redis_server, namespace, tmp_path):
    lines = [line for line in hook_block().splitlines() if line.startswith("galtro ")]
    pre_edit, post_edit = lines
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    shim = bin_dir / "galtro"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m galtro "$@"\n')
    shim.chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
           "GALTRO_URL": redis_server.url, "GALTRO_NAMESPACE": namespace, "REPO": "/repo"}

    def hook(line, agent, file):
        script = f"{line}\necho edited\n"
        return subprocess.run(["bash", "-c", script], capture_output=True, text=True,
                              env={**env, "AGENT": agent, "FILE": file}, timeout=60)

    first = hook(pre_edit, "alice", "/repo/src/./lib.rs")
    assert first.returncode == 0 and first.stdout.endswith("edited\n")
    second = hook(pre_edit, "bob", "src/lib.rs")  # the same file, spelt otherwise
    assert (second.returncode, second.stdout) == (1, "")
    assert second.stderr == "alice already holds claim on src/lib.rs\n"
    assert hook(post_edit, "alice", "./src/lib.rs").returncode == 0
    assert hook(pre_edit, "bob", "src/lib.rs").returncode == 0
