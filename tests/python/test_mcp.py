"""galtro mcp: the tools through the MCP SDK's own clients, in memory, over standard
input and output (a ``galtro mcp`` process) and over Streamable HTTP, on a real store."""

import contextlib
import os
import re
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

if sys.version_info < (3, 10):
    pytest.skip("the MCP SDK needs Python 3.10 or later", allow_module_level=True)
pytest.importorskip("mcp", reason="the mcp package is not installed (galtro_core[mcp])")

import anyio  # noqa: E402

import galtro  # noqa: E402
from mcp import Client, StdioServerParameters  # noqa: E402

from galtro import _mcp  # noqa: E402

ROOT = "/work/project"
ACTING = ["claim_file", "claim_task", "renew_claim", "release", "send_message", "broadcast",
          "read_messages", "peek_messages"]
LOOKUPS = ["status", "list_claims", "list_agents", "recent_history"]


def text(result):
    return "\n".join(block.text for block in result.content)


async def call(client, name, **arguments):
    return await client.call_tool(name, arguments)


async def ok(client, name, **arguments):
    result = await call(client, name, **arguments)
    assert not result.is_error, text(result)
    return result.structured_content


def run_async(body):
    anyio.run(body)


@pytest.fixture
def shared_state(shared_store):
    """A fresh state that other processes can share: SQLite, then Redis."""
    return shared_store[1]


def test_tools_schemas_annotations_and_instructions(sqlite_state):
    async def body():
        async with Client(_mcp.build_server(sqlite_state, "a", root=ROOT)) as bound, \
                Client(_mcp.build_server(sqlite_state, None, root=ROOT)) as shared:
            bound_tools = {t.name: t for t in (await bound.list_tools()).tools}
            shared_tools = {t.name: t for t in (await shared.list_tools()).tools}
            assert sorted(bound_tools) == sorted(ACTING + LOOKUPS) == sorted(shared_tools)
            for name in ACTING + LOOKUPS:
                tool, open_tool = bound_tools[name], shared_tools[name]
                assert tool.description and tool.output_schema["type"] == "object"
                hints = tool.annotations
                assert hints.read_only_hint is (name in LOOKUPS or name == "peek_messages")
                assert hints.destructive_hint is False and hints.open_world_hint is False
                assert hints.idempotent_hint is (hints.read_only_hint
                                                 or name in ("renew_claim", "release"))
                # An agent-bound server asks for no agent id; a shared one does, first.
                acting = name in ACTING
                assert ("agent_id" in tool.input_schema.get("properties", {})) is (name == "status")
                assert ("agent_id" in open_tool.input_schema.get("required", [])) is (
                    acting or name == "status")
            claim = bound_tools["claim_file"]
            assert claim.input_schema["required"] == ["path"]
            assert claim.input_schema["properties"]["wait_seconds"]["maximum"] == _mcp.WAIT_LIMIT
            assert set(claim.output_schema["properties"]) == {"resource_key", "holder",
                                                              "lease_seconds"}
            instructions = bound.instructions
            for tool in ("claim_file", "release", "read_messages", "send_message"):
                assert tool in instructions
            assert "agent 'a'" in instructions

    run_async(body)


def test_every_tool_two_agents_and_refusals(shared_state):
    """Agent a on a bound server and agent b on a shared one, over one store."""
    async def body():
        async with Client(_mcp.build_server(shared_state, "a", root=ROOT)) as a, \
                Client(_mcp.build_server(shared_state, None, root=ROOT)) as shared:
            assert await ok(a, "claim_file", path=f"{ROOT}/src/../src/app.py") == {
                "resource_key": "file:src/app.py", "holder": "a", "lease_seconds": 300.0}
            await ok(a, "claim_task", task_id="42")

            # b collides: a tool error with the refusal's own text and the holder.
            refused = await call(shared, "claim_file", agent_id="b", path="src/app.py")
            assert refused.is_error
            assert text(refused) == "a already holds claim on src/app.py"
            assert refused.structured_content == {
                "refused": "ClaimConflict", "resource_key": "file:src/app.py", "holder": "a"}
            started = time.monotonic()
            waited = await call(shared, "claim_task", agent_id="b", task_id="42",
                                wait_seconds=0.3)
            assert waited.is_error and waited.structured_content["holder"] == "a"
            assert 0.3 <= time.monotonic() - started < 5
            refused = await call(shared, "release", agent_id="b", resource="task:42")
            assert (text(refused), refused.structured_content["holder"]) == (
                "b cannot release a claim held by a", "a")

            # b asks the holder; a peeks (nothing removed), then reads (removed).
            sent = await ok(shared, "send_message", agent_id="b", to_agent="a",
                            content="may I have src/app.py?")
            assert sent["from_agent"] == "b" and sent["to_agent"] == "a"
            await ok(a, "send_message", to_agent="b", content="in ten minutes")
            await ok(a, "broadcast", content="build is green")
            peeked = await ok(a, "peek_messages")
            read = await call(a, "read_messages")
            assert read.structured_content == peeked
            assert [(m["from_agent"], m["content"]) for m in peeked["messages"]] == [
                ("b", "may I have src/app.py?"), ("a", "build is green")]
            assert re.fullmatch(r"b \(\d+s ago\): may I have src/app.py\?\n"
                                r"you \(\d+s ago\): build is green", text(read))
            assert await ok(a, "read_messages") == {"messages": []}
            inbox = await ok(shared, "peek_messages", agent_id="b")
            assert [m["content"] for m in inbox["messages"]] == ["in ten minutes",
                                                                 "build is green"]

            assert await ok(shared, "status", agent_id="a") == {"agent_id": "a", "status": "busy"}
            claims = (await ok(shared, "list_claims"))["claims"]
            assert [(c["resource_key"], c["holder"]) for c in claims] == [
                ("file:src/app.py", "a"), ("task:42", "a")]
            assert all(295 <= c["seconds_left"] <= 300 and not c["expired"] for c in claims)
            agents = {row["agent_id"]: row for row in (await ok(a, "list_agents"))["agents"]}
            assert agents["a"]["status"] == "busy" and agents["b"]["unread"] == 2
            assert abs(agents["b"]["last_activity"] - time.time()) < 5
            events = (await ok(a, "recent_history", since_seconds_ago=60, limit=2))["events"]
            assert [e["kind"] for e in events] == ["message_sent", "broadcast"]

            # Renew and release take a key or a path.
            await ok(a, "renew_claim", resource="src/app.py")
            assert await ok(a, "release", resource="file:./src/app.py") == {
                "resource_key": "file:src/app.py", "released": True}
            await ok(a, "release", resource="task:42")
            gone = await call(a, "renew_claim", resource="task:42")
            assert (gone.is_error, text(gone), gone.structured_content["holder"]) == (
                True, "no claim on task:42 to renew", None)
            assert (await ok(shared, "claim_file", agent_id="b", path="src/app.py"))[
                "holder"] == "b"

    run_async(body)


def test_bad_input_gives_tool_errors_and_the_server_keeps_serving(shared_state):
    async def body():
        async with Client(_mcp.build_server(shared_state, None, root=ROOT)) as shared:
            bad = [
                ("claim_file", {"agent_id": "b", "path": 7}),
                ("claim_file", {"agent_id": "b"}),
                ("claim_file", {"path": "x"}),
                ("claim_file", {"agent_id": "b", "path": "../outside"}),
                ("claim_task", {"agent_id": "b", "task_id": "t", "wait_seconds": 3600}),
                ("claim_task", {"agent_id": "b", "task_id": ["t"]}),
                ("send_message", {"agent_id": "b", "to_agent": "a",
                                  "content": "x" * (_mcp.CONTENT_LIMIT + 1)}),
                ("send_message", {"agent_id": "", "to_agent": "a", "content": "hi"}),
                ("recent_history", {"limit": 0}),
                ("recent_history", {"since_seconds_ago": -1}),
                ("no_such_tool", {}),
            ]
            for name, arguments in bad:
                result = await shared.call_tool(name, arguments)
                assert result.is_error, (name, arguments)
            outside = await shared.call_tool("release", {"agent_id": "b", "resource": "/etc/x"})
            assert text(outside) == f"'/etc/x' is not a file under '{ROOT}'"
            assert (await ok(shared, "claim_task", agent_id="b", task_id="t"))["holder"] == "b"
            assert (await ok(shared, "list_claims"))["claims"][0]["resource_key"] == "task:t"

    run_async(body)


def galtro_env():
    """The environment of a ``galtro`` process: this one's, so that it imports the same
    package."""
    return {key: value for key, value in os.environ.items()}


def test_stdio_process_on_the_default_store_claims_sends_and_reads(tmp_path):
    """``galtro mcp --agent a`` with no store named: the default SQLite file, here under
    $XDG_STATE_HOME since the working directory is in no git repository."""
    state = galtro.SqliteCoordinationState(tmp_path / "galtro" / "state.sqlite3", "default")
    state.send_message("b", "a", "hello a")
    environment = {**galtro_env(), "XDG_STATE_HOME": str(tmp_path)}
    for name in ("GALTRO_URL", "GALTRO_NAMESPACE", "GALTRO_AGENT"):
        environment.pop(name, None)
    parameters = StdioServerParameters(command=sys.executable,
                                       args=["-m", "galtro", "mcp", "--agent", "a"],
                                       env=environment, cwd=str(tmp_path))

    async def body():
        async with Client(parameters) as a:
            assert (await ok(a, "claim_file", path=str(tmp_path / "x.py")))[
                "resource_key"] == "file:x.py"
            await ok(a, "send_message", to_agent="b", content="hello b")
            read = await ok(a, "read_messages")
            assert [m["content"] for m in read["messages"]] == ["hello a"]

    run_async(body)
    assert [m[2] for m in state.inbox("b")] == ["hello b"]
    assert state.inbox("a") == []
    assert [(c.resource_key, c.holder) for c in galtro.claims(state)] == [("file:x.py", "a")]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def galtro_http(redis_server, namespace, *options):
    """A ``galtro mcp --http`` process on a free port; yields the port."""
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "galtro", "--url", redis_server.url, "--namespace", namespace,
         "mcp", "--http", "--port", str(port), *options],
        env=galtro_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for _ in range(400):
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port)):
                break
            assert process.poll() is None, process.stderr.read().decode()
            time.sleep(0.05)
        yield port
    finally:
        process.terminate()
        process.wait(timeout=10)
        process.stderr.close()


@pytest.fixture
def http_server(redis_server, namespace, tmp_path):
    with galtro_http(redis_server, namespace, "--root", str(tmp_path)) as port:
        yield f"http://127.0.0.1:{port}/mcp"


# A request that passes the checks of Host and Origin is still refused, with 400, for
# want of a session; one that fails them gets 421 (Host) or 403 (Origin).
PASSED = 400


def post(url, **headers):
    """The HTTP status of a ping posted to ``url`` with ``headers``."""
    request = urllib.request.Request(
        url, method="POST", data=b'{"jsonrpc":"2.0","id":1,"method":"ping"}',
        headers={"Content-Type": "application/json",
                 "Accept": "application/json, text/event-stream", **headers})
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def test_http_serves_many_agents_and_refuses_a_foreign_origin(http_server, redis_state):
    async def body():
        async with Client(http_server) as one, Client(http_server) as other:
            await ok(one, "claim_task", agent_id="a", task_id="deploy")
            refused = await call(other, "claim_task", agent_id="b", task_id="deploy")
            assert refused.is_error and refused.structured_content["holder"] == "a"

    run_async(body)
    assert redis_state.status("a") == "busy"

    assert post(http_server, Origin="http://evil.example") == 403
    assert post(http_server, Origin=http_server.rsplit("/", 1)[0]) == PASSED


@pytest.mark.slow
def test_http_on_another_host_needs_allow_remote_and_checks_host(redis_server, namespace):
    result = subprocess.run(
        [sys.executable, "-m", "galtro", "--url", redis_server.url, "mcp", "--http",
         "--host", "0.0.0.0"], capture_output=True, text=True, env=galtro_env(), timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == ("galtro: --host 0.0.0.0 is reachable from other machines: pass "
                             "--allow-remote, and put an authenticating proxy in front\n")

    with galtro_http(redis_server, namespace, "--host", "0.0.0.0", "--allow-remote",
                     "--allowed-host", "proxy.internal") as port:
        url = f"http://127.0.0.1:{port}/mcp"
        assert post(url, Host="proxy.internal") == PASSED
        assert post(url, Host="proxy.internal", Origin="https://proxy.internal") == PASSED
        assert post(url, Host=f"0.0.0.0:{port}") == PASSED
        assert post(url, Host=f"127.0.0.1:{port}") == 421
        assert post(url, Host="proxy.internal", Origin="http://evil.example") == 403
