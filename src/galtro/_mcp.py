# pyright: strict
"""``galtro mcp``: the coordination state as tools of a Model Context Protocol server.

``build_server(state, agent_id=..., root=...)`` makes the server; ``serve_stdio`` and
``serve_http`` run it. With an ``agent_id`` the server acts as that one agent and no
tool takes an agent id (one server per agent, over standard input and output); without
one every tool that acts takes ``agent_id`` (one shared server over HTTP).

The tools call the same helpers a Python user calls: ``galtro._operations`` for claims
with typed refusals, ``Lease`` for a claim that waits, ``take_messages`` for an inbox
read that removes, and the views of ``galtro._inspect``. Each tool is a plain function
that the SDK runs on a worker thread, so a store call or a wait never blocks the event
loop. It returns a ``CallToolResult`` whose structured content matches the declared
output schema, with one short text for clients that show text only. A refusal is a
tool error, never a protocol error: its text is the refusal message, unchanged, and
its structured content names the ``holder`` and the ``resource_key``.

This module needs the ``mcp`` package (``pip install "galtro_core[mcp]"``, Python 3.10
or later); nothing else in ``galtro`` imports it.
"""

import argparse
import inspect
import json
import os
import time
from typing import Annotated, Any, Callable, Dict, List, Optional, Sequence, Tuple, cast

import anyio.from_thread
from mcp.server.mcpserver import MCPServer
from mcp.server.transport_security import TransportSecuritySettings
from mcp.types import CallToolResult, TextContent, ToolAnnotations
from pydantic import Field
from typing_extensions import TypedDict

from galtro import _inspect, _operations
from galtro._delivery import take_messages
from galtro._failures import connection_errors
from galtro._lease import Lease
from galtro._paths import file_key, project_root
from galtro._text import duration as _age
from galtro._protocol import LEASE_SECONDS, CoordinationStateLike, Message
from galtro._refusals import Refusal

__all__ = ["WAIT_LIMIT", "CONTENT_LIMIT", "LOOPBACK_HOSTS", "build_server", "serve_stdio",
           "serve_http", "project_root", "run"]

#: The longest ``wait_seconds`` of ``claim_file`` and ``claim_task``. Clients give up on
#: a tool call after about a minute (some after 60 s); half of that leaves room for the
#: reply.
WAIT_LIMIT = 30.0
#: The longest message content, in characters. A message between agents is a note,
#: not a file: longer contents are refused as bad input.
CONTENT_LIMIT = 65_536
#: The longest path, task id, resource key or agent id, in characters.
NAME_LIMIT = 4_096
#: Hosts on which the SDK turns on its checks of ``Host`` and ``Origin`` by itself.
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1")

INSTRUCTIONS = """\
Several coding agents share this project, and these tools are how they stay out of \
each other's way.
- Before you edit a file, claim it with claim_file; before you start a task, claim it \
with claim_task. Release it with release as soon as you are done. A claim lasts 300 \
seconds; renew_claim keeps a long job's claim alive.
- A refused claim means another agent is working on it: the refusal names the holder. \
Do not edit the file anyway. Send the holder a message with send_message saying what \
you need, then do other work, rather than waiting silently.
- When you are told that messages are waiting, call read_messages and answer them.
- list_claims and list_agents show who is working on what."""

# --- Arguments -------------------------------------------------------------------------

AgentId = Annotated[str, Field(min_length=1, max_length=NAME_LIMIT,
                               description="Your agent id: the name you act under.")]
OtherAgent = Annotated[str, Field(min_length=1, max_length=NAME_LIMIT,
                                  description="The id of the agent concerned.")]
PathArg = Annotated[str, Field(min_length=1, max_length=NAME_LIMIT,
                               description="The file's path, relative to the project root "
                               "or absolute inside it.")]
TaskArg = Annotated[str, Field(min_length=1, max_length=NAME_LIMIT,
                               description="The task's id, as the agents agreed on it.")]
ResourceArg = Annotated[str, Field(min_length=1, max_length=NAME_LIMIT,
                                   description='A resource key ("file:src/app.py", '
                                   '"task:42") as the claim returned it, or a file path.')]
WaitArg = Annotated[float, Field(ge=0, le=WAIT_LIMIT,
                                 description=f"Seconds to wait for another agent's claim to "
                                 f"end, at most {WAIT_LIMIT:g}; 0 (the default) does not wait.")]
ContentArg = Annotated[str, Field(max_length=CONTENT_LIMIT,
                                  description=f"The message text, at most {CONTENT_LIMIT} "
                                  "characters.")]
SinceArg = Annotated[float, Field(ge=0, description="How far back to look, in seconds.")]
LimitArg = Annotated[int, Field(ge=1, le=500, description="At most this many events, the "
                                "newest.")]

# --- Results ---------------------------------------------------------------------------


class ClaimOut(TypedDict):
    resource_key: str
    holder: str
    lease_seconds: float


class ReleaseOut(TypedDict):
    resource_key: str
    released: bool


class MessageOut(TypedDict):
    from_agent: str
    to_agent: str
    content: str
    timestamp: int


class MessagesOut(TypedDict):
    messages: List[MessageOut]


class StatusOut(TypedDict):
    agent_id: str
    status: str


class ClaimRow(TypedDict):
    resource_key: str
    holder: str
    claimed_at: int
    renewed_at: int
    expires_at: int
    seconds_left: int
    expired: bool


class ClaimsOut(TypedDict):
    claims: List[ClaimRow]


class AgentRow(TypedDict):
    agent_id: str
    status: str
    last_activity: Optional[int]
    unread: int


class AgentsOut(TypedDict):
    agents: List[AgentRow]


class EventRow(TypedDict):
    kind: str
    time: int
    fields: Dict[str, str]


class HistoryOut(TypedDict):
    events: List[EventRow]


def _result(data: Any, text: str) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=text)],
                          structured_content=data)


def _refused(refusal: Refusal) -> CallToolResult:
    """A refusal as a tool error: the message unchanged, and who holds what."""
    holder: Optional[str] = getattr(refusal, "holder", None)
    return _failed(str(refusal), {"refused": type(refusal).__name__,
                                  "resource_key": refusal.resource_key, "holder": holder})


def _failed(text: str, data: Optional[Dict[str, Any]] = None) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=text)],
                          structured_content=data, is_error=True)


def _message_out(message: Message) -> MessageOut:
    from_agent, to_agent, content, timestamp = message
    return {"from_agent": from_agent, "to_agent": to_agent, "content": content,
            "timestamp": timestamp}


def _messages_result(messages: Sequence[Message], agent_id: str) -> CallToolResult:
    """The messages of ``agent_id``'s inbox; in the text, its own (the echoes of its
    broadcasts) are marked as from "you"."""
    shown = [_message_out(m) for m in messages]
    now = time.time()
    lines = [f"{'you' if m['from_agent'] == agent_id else m['from_agent']} "
             f"({_age(now - m['timestamp'])} ago): {m['content']}" for m in shown]
    return _result({"messages": shown}, "\n".join(lines) if lines else "No messages.")


# --- Tools -----------------------------------------------------------------------------


class _Tools:
    """The tools over one state. Each acting method takes the agent id first; the
    server either exposes that parameter or binds it to its one agent."""

    def __init__(self, state: CoordinationStateLike, root: str) -> None:
        self.state = state
        self.root = root

    def _key(self, resource: str) -> str:
        """The resource key for a key or a path; ``ValueError`` for a path outside the
        project root."""
        if resource.startswith("task:"):
            return resource
        if resource.startswith("file:"):
            resource = resource[len("file:"):]
        return "file:" + file_key(self.root, resource)

    def _claim(self, agent_id: str, kind: str, name: str, wait_seconds: float) -> CallToolResult:
        # A lease that is not renewed is exactly a claim that may wait: it polls with
        # backoff until the claim is free or the wait is over.
        if kind == "file":
            name = file_key(self.root, name)
            Lease(self.state, agent_id, file=name, wait=wait_seconds, renew=False).__enter__()
        else:
            Lease(self.state, agent_id, task=name, wait=wait_seconds, renew=False).__enter__()
        key = f"{kind}:{name}"
        data: ClaimOut = {"resource_key": key, "holder": agent_id, "lease_seconds": LEASE_SECONDS}
        return _result(data, f"Claimed {key} for {LEASE_SECONDS:g} s. Release it when done.")

    def claim_file(self, agent_id: AgentId, path: PathArg,
                   wait_seconds: WaitArg = 0.0) -> Annotated[CallToolResult, ClaimOut]:
        """Claim a file before you edit it, so that no other agent edits it meanwhile.

        Returns the resource key ("file:<path relative to the project root>"); pass it to
        release when you are done, or to renew_claim if the edit takes longer than the
        300-second lease. If another agent holds the file, the call fails and names the
        holder: do not edit the file. Message the holder with send_message, or pass
        wait_seconds to wait a little for the claim to end. A refusal that names you
        means you already hold it."""
        return self._claim(agent_id, "file", path, wait_seconds)

    def claim_task(self, agent_id: AgentId, task_id: TaskArg,
                   wait_seconds: WaitArg = 0.0) -> Annotated[CallToolResult, ClaimOut]:
        """Claim a task (any piece of work named by an id) before you start on it, so
        that no two agents do the same work.

        Returns the resource key "task:<task_id>"; release it when the task is done. If
        another agent holds it, the call fails and names the holder: pick other work,
        or message the holder with send_message. wait_seconds waits a little for the
        claim to end. A refusal that names you means you already hold it."""
        return self._claim(agent_id, "task", task_id, wait_seconds)

    def renew_claim(self, agent_id: AgentId,
                    resource: ResourceArg) -> Annotated[CallToolResult, ClaimOut]:
        """Extend your claim to a fresh 300-second lease. Call it during work that
        outlasts the lease; a claim not renewed in time may be taken by another agent.

        Fails if the claim is gone or another agent now holds it (the failure names the
        holder): stop editing, and claim the resource again or message the holder."""
        key = self._key(resource)
        _operations.renew(self.state, agent_id, key)
        data: ClaimOut = {"resource_key": key, "holder": agent_id, "lease_seconds": LEASE_SECONDS}
        return _result(data, f"Renewed {key} for {LEASE_SECONDS:g} s.")

    def release(self, agent_id: AgentId,
                resource: ResourceArg) -> Annotated[CallToolResult, ReleaseOut]:
        """Release your claim as soon as you are done with the file or task, so that
        other agents can take it.

        Fails if you hold no claim on it (nothing to do) or another agent holds it (the
        failure names the holder)."""
        key = self._key(resource)
        _operations.release(self.state, agent_id, key)
        data: ReleaseOut = {"resource_key": key, "released": True}
        return _result(data, f"Released {key}.")

    def send_message(self, agent_id: AgentId, to_agent: OtherAgent,
                     content: ContentArg) -> Annotated[CallToolResult, MessageOut]:
        """Send a message to one agent: to ask the holder of a claim for the file, to
        hand over work, or to answer a message. The agent reads it with read_messages.
        list_agents shows the agents' ids."""
        message = self.state.send_message(agent_id, to_agent, content)
        return _result(_message_out(message), f"Sent to {to_agent}.")

    def broadcast(self, agent_id: AgentId,
                  content: ContentArg) -> Annotated[CallToolResult, MessageOut]:
        """Send a message to every agent known so far: for news that concerns everyone,
        such as a changed interface or a broken build. Prefer send_message for one
        agent."""
        message = self.state.broadcast(agent_id, content)
        return _result(_message_out(message), "Broadcast sent.")

    def read_messages(self, agent_id: AgentId) -> Annotated[CallToolResult, MessagesOut]:
        """Read your new messages, oldest first, and remove them from your inbox. Call it
        when you are told that messages are waiting, and answer with send_message. Your
        own broadcasts come back to you too, marked as from "you"."""
        reply: List[CallToolResult] = []

        def write(messages: List[Message]) -> None:
            # The reply is built whole, and checked to be JSON, before the messages
            # leave the inbox; if the client cancelled the call meanwhile, this raises
            # and the messages stay.
            result = _messages_result(messages, agent_id)
            json.dumps(result.structured_content)
            anyio.from_thread.check_cancelled()
            reply.append(result)

        take_messages(self.state, agent_id, write)
        return reply[0] if reply else _messages_result([], agent_id)

    def peek_messages(self, agent_id: AgentId) -> Annotated[CallToolResult, MessagesOut]:
        """Look at your pending messages without removing them. Use read_messages to
        take them."""
        return _messages_result(self.state.inbox(agent_id), agent_id)

    def status(self, agent_id: OtherAgent) -> Annotated[CallToolResult, StatusOut]:
        """An agent's status: "busy" after it claimed something, "idle" after a release
        or if never seen. list_claims shows what each agent actually holds."""
        status = self.state.status(agent_id)
        return _result({"agent_id": agent_id, "status": status}, f"{agent_id}: {status}")

    def list_claims(self) -> Annotated[CallToolResult, ClaimsOut]:
        """Every claim: who holds which file or task, and the seconds left on its lease.
        An expired claim may be taken by anyone."""
        now = time.time()
        rows: List[ClaimRow] = [
            {"resource_key": c.resource_key, "holder": c.holder, "claimed_at": c.claimed_at,
             "renewed_at": c.renewed_at, "expires_at": c.expires_at,
             "seconds_left": 0 if c.expired else max(0, int(c.expires_at - now)),
             "expired": c.expired}
            for c in _inspect.claims(self._readable())
        ]
        lines = [f"{r['resource_key']}: {r['holder']}, "
                 + ("expired" if r["expired"] else f"{r['seconds_left']} s left")
                 for r in rows]
        return _result({"claims": rows}, "\n".join(lines) if lines else "No claims.")

    def list_agents(self) -> Annotated[CallToolResult, AgentsOut]:
        """Every agent seen so far, with its status, the Unix second of its last
        activity (a claim, renewal, release or message) and its unread messages."""
        state = self._readable()
        activity = _inspect.last_activity(state)
        sizes = _inspect.inbox_sizes(state)
        rows: List[AgentRow] = [
            {"agent_id": a.agent_id, "status": a.status,
             "last_activity": activity.get(a.agent_id), "unread": sizes.get(a.agent_id, 0)}
            for a in _inspect.agents(state)
        ]
        now = time.time()
        lines = [f"{r['agent_id']}: {r['status']}, {r['unread']} unread"
                 + (f", active {_age(now - r['last_activity'])} ago"
                    if r["last_activity"] is not None else "")
                 for r in rows]
        return _result({"agents": rows}, "\n".join(lines) if lines else "No agents yet.")

    def recent_history(self, since_seconds_ago: SinceArg = 600.0,
                       limit: LimitArg = 50) -> Annotated[CallToolResult, HistoryOut]:
        """What happened lately, oldest first: claims, releases, messages and broadcasts
        of the last since_seconds_ago seconds, at most limit of them (the newest)."""
        events = _inspect.history(self._readable(), time.time() - since_seconds_ago)[-limit:]
        rows: List[EventRow] = [{"kind": e.kind, "time": e.time, "fields": e.fields}
                                for e in events]
        lines = [f"{time.strftime('%H:%M:%S', time.gmtime(e.time))} {e.kind} "
                 + " ".join(f"{k}={v!r}" for k, v in e.fields.items()) for e in events]
        return _result({"events": rows}, "\n".join(lines) if lines else "Nothing happened.")

    def _readable(self) -> _inspect.State:
        return cast(_inspect.State, self.state)


# Each tool: its name, whether it acts as an agent, and its annotations. A release gives
# up only the caller's own claim, and read_messages hands the messages it removes to the
# caller, so no tool is destructive. Renewing and releasing again changes nothing more.
_ACTING = ToolAnnotations(read_only_hint=False, destructive_hint=False,
                          idempotent_hint=False, open_world_hint=False)
_REPEATABLE = ToolAnnotations(read_only_hint=False, destructive_hint=False,
                              idempotent_hint=True, open_world_hint=False)
_LOOKUP = ToolAnnotations(read_only_hint=True, destructive_hint=False,
                          idempotent_hint=True, open_world_hint=False)
_TOOLS: Tuple[Tuple[str, bool, ToolAnnotations], ...] = (
    ("claim_file", True, _ACTING),
    ("claim_task", True, _ACTING),
    ("renew_claim", True, _REPEATABLE),
    ("release", True, _REPEATABLE),
    ("send_message", True, _ACTING),
    ("broadcast", True, _ACTING),
    ("read_messages", True, _ACTING),
    ("peek_messages", True, _LOOKUP),
    ("status", False, _LOOKUP),
    ("list_claims", False, _LOOKUP),
    ("list_agents", False, _LOOKUP),
    ("recent_history", False, _LOOKUP),
)


def _tool(method: Callable[..., CallToolResult],
          agent_id: Optional[str]) -> Callable[..., CallToolResult]:
    """``method`` as a tool: with ``agent_id``, its first parameter (the agent id) is
    bound and gone from its signature, so that the input schema does not ask for it. A
    refusal, a bad path and a store that cannot be reached are tool errors."""
    signature = inspect.signature(method)
    parameters = list(signature.parameters.values())
    bound: Tuple[str, ...] = ()
    if agent_id is not None:
        parameters, bound = parameters[1:], (agent_id,)

    def tool(**arguments: Any) -> CallToolResult:
        try:
            return method(*bound, **arguments)
        except Refusal as refusal:
            return _refused(refusal)
        except ValueError as error:  # a path outside the project root
            return _failed(str(error))
        except connection_errors() as error:
            return _failed(f"cannot reach the coordination store: {error}")

    tool.__name__ = tool.__qualname__ = method.__name__
    tool.__doc__ = method.__doc__
    names = {parameter.name for parameter in parameters}
    tool.__annotations__ = {name: value for name, value in method.__annotations__.items()
                            if name in names or name == "return"}
    setattr(tool, "__signature__", signature.replace(parameters=parameters))
    return tool


def build_server(state: CoordinationStateLike, agent_id: Optional[str] = None,
                 root: Optional[str] = None) -> MCPServer:
    """The MCP server over ``state``. With ``agent_id`` it acts as that agent and no
    tool takes an agent id. File paths are named against ``root`` (default:
    ``project_root()``)."""
    tools = _Tools(state, root if root is not None else project_root())
    instructions = INSTRUCTIONS
    if agent_id is not None:
        instructions = f"You are agent {agent_id!r} here.\n" + instructions
    server = MCPServer("galtro", instructions=instructions)
    for name, acting, annotations in _TOOLS:
        method: Callable[..., CallToolResult] = getattr(tools, name)
        server.add_tool(_tool(method, agent_id if acting else None), name=name,
                        annotations=annotations, structured_output=True)
    return server


def serve_stdio(server: MCPServer) -> None:
    """Serves ``server`` over standard input and output until the client closes it."""
    server.run("stdio")


def serve_http(server: MCPServer, host: str, port: int, allowed_hosts: Sequence[str] = ()) -> None:
    """Serves ``server`` over Streamable HTTP at ``http://host:port/mcp``.

    The checks of ``Host`` and ``Origin`` against DNS rebinding stay on. On a loopback
    host the SDK allows that host on any port; on any other host only ``host:port`` and
    the names in ``allowed_hosts`` (``name`` or ``name:port``) are allowed, with their
    ``http://`` and ``https://`` origins."""
    security: Optional[TransportSecuritySettings] = None
    if host not in LOOPBACK_HOSTS:
        names = [_host_port(host, port), *allowed_hosts]
        security = TransportSecuritySettings(
            enable_dns_rebinding_protection=True,
            allowed_hosts=names,
            allowed_origins=[f"{scheme}://{name}" for name in names
                             for scheme in ("http", "https")],
        )
    server.run("streamable-http", host=host, port=port, transport_security=security)


def run(args: argparse.Namespace, state: CoordinationStateLike) -> None:
    """``galtro mcp``: serves the tools over ``state`` as ``args`` say (see the
    command's ``--help``). Raises ``ValueError`` for a host that is not loopback without
    ``--allow-remote``."""
    agent_id: Optional[str] = args.agent or os.environ.get("GALTRO_AGENT") or None
    if not args.http:
        serve_stdio(build_server(state, agent_id, args.root))
        return
    if args.host not in LOOPBACK_HOSTS and not args.allow_remote:
        raise ValueError(f"--host {args.host} is reachable from other machines: pass "
                         "--allow-remote, and put an authenticating proxy in front")
    serve_http(build_server(state, agent_id, args.root), args.host, args.port,
               args.allowed_host)


def _host_port(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
