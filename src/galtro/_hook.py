# pyright: strict
"""``galtro hook``: one entry for every hook event of a coding agent.

The agent runs ``galtro hook --tool claude|gemini|codex`` at each hook event with a JSON
object on standard input (``hook_event_name``, ``tool_name``, ``tool_input``,
``session_id``, ``cwd``) and reads the reply in its own protocol:

* before an edit, each file the edit writes is claimed, or renewed when this agent
  holds it already; a file held by another agent blocks the edit with a reason that
  names the file, the holder, how long since the holder last claimed or renewed it,
  and what to do instead;
* at session start, on each prompt and after each tool call, the agent's pending
  messages are handed to the model as added context (removed from the inbox only once
  written out); session start also broadcasts "joined" with the project root;
* at session end, every claim of the agent is released.

A hook runs at every tool call, so this module imports little: the store's client only
when it is used, no ``argparse``, no ``asyncio``, and it starts no subprocess. It never
ends with a traceback: malformed input passes with one line on standard error, and a
store that cannot be used blocks edits (or, with ``--fail-open``, lets them through with
a warning in the context).
"""

from __future__ import annotations

import json
import os
import sys
import time
from typing import Any, Dict, List, Mapping, Optional, Sequence, TextIO, Tuple

from galtro import _paths
from galtro._agent import Agent
from galtro._protocol import Message
from galtro._refusals import ClaimConflict, NoClaim, NotHolder
from galtro._text import duration

__all__ = ["TOOLS", "HookOptions", "parse_options", "run", "project_root", "patch_paths",
           "edited_paths"]

TOOLS = ("claude", "gemini", "codex")

#: The environment variable that names the project directory, per tool (Codex has none).
PROJECT_DIR_VARIABLES: Mapping[str, str] = {
    "claude": "CLAUDE_PROJECT_DIR",
    "gemini": "GEMINI_PROJECT_DIR",
}

#: The tools whose calls write files, per coding agent, and the input field holding the
#: path. Codex's ``apply_patch`` carries a patch in ``command`` instead.
EDIT_TOOLS: Mapping[str, Mapping[str, str]] = {
    "claude": {"Edit": "file_path", "Write": "file_path", "MultiEdit": "file_path",
               "NotebookEdit": "notebook_path"},
    "gemini": {"write_file": "file_path", "replace": "file_path"},
    "codex": {"apply_patch": "command"},
}

#: Events, per coding agent: before a tool call, after one, at session start, on a
#: prompt, at session end.
PRE_TOOL = {"claude": "PreToolUse", "gemini": "BeforeTool", "codex": "PreToolUse"}
POST_TOOL = {"claude": "PostToolUse", "gemini": "AfterTool", "codex": "PostToolUse"}
SESSION_START = "SessionStart"
PROMPT = {"claude": "UserPromptSubmit", "gemini": "BeforeAgent", "codex": "UserPromptSubmit"}
SESSION_END = {"claude": "SessionEnd", "gemini": "SessionEnd"}

_PATCH_MARKERS = ("*** Add File: ", "*** Update File: ", "*** Delete File: ", "*** Move to: ")


class HookOptions:
    """The options of ``galtro hook``. (A plain class: a named tuple class is compiled
    when it is made, and this module is imported at every tool call.)"""

    __slots__ = ("tool", "agent", "fail_open", "url", "namespace")

    def __init__(self, tool: str, agent: Optional[str] = None, fail_open: bool = False,
                 url: Optional[str] = None, namespace: Optional[str] = None) -> None:
        self.tool = tool
        self.agent = agent
        self.fail_open = fail_open
        self.url = url
        self.namespace = namespace


class _Malformed(Exception):
    """The input is not a hook event this command understands; it passes."""


# --- Options ------------------------------------------------------------------------


def parse_options(args: Sequence[str]) -> Optional[HookOptions]:
    """The options of ``galtro hook``, or ``None`` for anything but a plain, valid command
    line (``--help``, a mistake), which the full parser of the command then reports."""
    values: Dict[str, Any] = {}
    names = {"--tool": "tool", "--agent": "agent", "--url": "url", "--namespace": "namespace"}
    index = 0
    while index < len(args):
        arg = args[index]
        name, has_value, value = arg.partition("=")
        if arg == "--fail-open":
            values["fail_open"] = True
        elif name in names and has_value:
            values[names[name]] = value
        elif arg in names and index + 1 < len(args):
            index += 1
            values[names[arg]] = args[index]
        else:
            return None
        index += 1
    if values.get("tool") not in TOOLS:
        return None
    return HookOptions(**values)


# --- The project and the files of an edit -----------------------------------------------


def project_root(tool: str, cwd: str, environ: Mapping[str, str]) -> str:
    """The tool's project directory variable, else the nearest directory at or above
    ``cwd`` that holds ``.git``, else ``cwd``."""
    variable = PROJECT_DIR_VARIABLES.get(tool)
    if variable and environ.get(variable):
        return environ[variable]
    return _paths.project_root(cwd)


def patch_paths(patch: str) -> List[str]:
    """The paths a Codex patch adds, updates, deletes or moves to, in order, once each."""
    paths: Dict[str, None] = {}
    for line in patch.splitlines():
        for marker in _PATCH_MARKERS:
            if line.startswith(marker):
                path = line[len(marker):].strip()
                if path:
                    paths[path] = None
    return list(paths)


def edited_paths(tool: str, tool_name: str, tool_input: Mapping[str, Any]) -> Optional[List[str]]:
    """The paths that the call of ``tool_name`` writes; ``None`` for a tool that writes
    none that this command knows of."""
    field = EDIT_TOOLS[tool].get(tool_name)
    if field is None:
        return None
    value = tool_input.get(field)
    if not isinstance(value, str) or not value:
        raise _Malformed(f"{tool_name} input has no {field}")
    return patch_paths(value) if tool == "codex" else [value]


# --- Text for the model ------------------------------------------------------------------


def _message_lines(agent_id: str, messages: Sequence[Message], now: float) -> str:
    lines = [f"galtro: {len(messages)} new message{'' if len(messages) == 1 else 's'} "
             f"for {agent_id} (reply: galtro send {agent_id} RECIPIENT TEXT, or the MCP "
             "tool send_message)"]
    for sender, _, content, timestamp in messages:
        text = " ".join(content.splitlines())
        lines.append(f"{sender}, {duration(now - timestamp)} ago: {text}")
    return "\n".join(lines)


def _refusal_reason(agent_id: str, path: str, holder: str, age: Optional[float]) -> str:
    since = f" (last claimed or renewed {duration(age)} ago)" if age is not None else ""
    return (f"galtro: {path} is claimed by {holder}{since}, so this edit was not made. "
            f"Work on something else, wait for {holder} to finish, or ask {holder} to "
            f"release it: galtro send {agent_id} {holder} "
            f"\"I need {path}, please release it when you can\" "
            "(or the MCP tool send_message).")


# --- Replies in each tool's protocol ---------------------------------------------------------


def _context_reply(event: str, text: str) -> Dict[str, Any]:
    return {"hookSpecificOutput": {"hookEventName": event, "additionalContext": text}}


def _deny_reply(tool: str, event: str, reason: str) -> Dict[str, Any]:
    if tool == "gemini":
        return {"decision": "deny", "reason": reason}
    return {"hookSpecificOutput": {"hookEventName": event, "permissionDecision": "deny",
                                   "permissionDecisionReason": reason}}


def _write_reply(out: TextIO, reply: Mapping[str, Any]) -> None:
    out.write(json.dumps(reply, ensure_ascii=False) + "\n")
    out.flush()


# --- The events ---------------------------------------------------------------------------


class _Hook:
    def __init__(self, options: HookOptions, payload: Mapping[str, Any],
                 environ: Mapping[str, str], out: TextIO) -> None:
        self.options = options
        self.tool = options.tool
        self.payload = payload
        self.environ = environ
        self.out = out
        event = payload.get("hook_event_name")
        if not isinstance(event, str):
            raise _Malformed("no hook_event_name")
        self.event = event
        cwd = payload.get("cwd")
        self.cwd = cwd if isinstance(cwd, str) and cwd else os.getcwd()
        self.root = project_root(self.tool, self.cwd, environ)
        self.agent_id = self._agent_id()
        self._agent: Optional[Agent] = None

    def _agent_id(self) -> str:
        chosen = self.options.agent or self.environ.get("GALTRO_AGENT")
        if chosen:
            return chosen
        session = self.payload.get("session_id")
        if not isinstance(session, str) or not session:
            raise _Malformed("no session_id, and neither --agent nor GALTRO_AGENT is set")
        return f"{self.tool}-{session[:8]}"

    @property
    def agent(self) -> Agent:
        if self._agent is None:
            from galtro import _store

            url = _store.resolve_url(self.options.url)
            state = _store.open_state(url, _store.resolve_namespace(self.options.namespace))
            self._agent = Agent(state, self.agent_id)
        return self._agent

    def run(self) -> None:
        event, tool = self.event, self.tool
        if event == PRE_TOOL[tool]:
            self.before_tool()
        elif event in (SESSION_START, PROMPT[tool], POST_TOOL[tool]):
            if event == SESSION_START and self.payload.get("source") != "compact":
                # A compacted session goes on; any other start is announced.
                self.agent.broadcast(f"joined {self.root}")
            self.deliver()
        elif event == SESSION_END.get(tool):
            self.release_all()
        else:
            raise _Malformed(f"event {event!r} is not handled for {tool}")

    # Before an edit.
    def before_tool(self) -> None:
        tool_name = self.payload.get("tool_name")
        tool_input = self.payload.get("tool_input")
        if not isinstance(tool_name, str) or not isinstance(tool_input, dict):
            raise _Malformed("no tool_name or tool_input")
        paths = edited_paths(self.tool, tool_name, tool_input)  # pyright: ignore[reportUnknownArgumentType]
        if paths is None:
            raise _Malformed(f"tool {tool_name!r} is not handled for {self.tool}")
        keys = self._file_keys(paths)
        if not keys:
            return
        refused = self._claim_all(keys)
        if refused is not None:
            path, holder = refused
            reason = _refusal_reason(self.agent_id, path, holder, self._claim_age(path, holder))
            _write_reply(self.out, _deny_reply(self.tool, self.event, reason))

    def _file_keys(self, paths: Sequence[str]) -> List[str]:
        """The ``file_key`` of each path under the project root; paths outside it are
        left out (they are not claimed)."""
        keys: Dict[str, None] = {}
        for path in paths:
            try:
                keys[_paths.file_key(self.root, os.path.join(self.cwd, path))] = None
            except ValueError:
                continue
        return list(keys)

    def _claim_all(self, keys: Sequence[str]) -> Optional[Tuple[str, str]]:
        """Claims or renews every file, all or none: on the first refusal (or failure),
        releases the files this call claimed, and returns (path, holder)."""
        agent = self.agent
        taken: List[str] = []
        refused: Optional[Tuple[str, str]] = None
        try:
            for path in keys:
                holder = self._claim_or_renew(agent, path)
                if holder is None:
                    taken.append(f"file:{path}")
                elif holder != agent.agent_id:
                    refused = path, holder
                    break
        except BaseException:
            try:
                self._give_back(agent, taken)
            except Exception:  # the first failure is the one to report
                pass
            raise
        if refused is not None:
            self._give_back(agent, taken)
        return refused

    @staticmethod
    def _give_back(agent: Agent, keys: Sequence[str]) -> None:
        for key in keys:
            try:
                agent.release(key)
            except (NoClaim, NotHolder):  # it ran out and was taken over meanwhile
                pass

    @staticmethod
    def _claim_or_renew(agent: Agent, path: str) -> Optional[str]:
        """Renews the agent's claim on ``path``, or claims it: ``None`` when newly
        claimed, the agent's own id when renewed, the holder when another agent holds
        it. Renewal comes first: most edits are of a file the agent already holds."""
        for _ in range(3):  # a claim that lapses or moves in between is tried again
            try:
                agent.renew_claim(f"file:{path}")
                return agent.agent_id
            except (NoClaim, NotHolder):  # a claim of another may have run out
                pass
            try:
                agent.claim_file(path)
                return None
            except ClaimConflict as conflict:
                if conflict.holder != agent.agent_id:
                    return conflict.holder
        raise RuntimeError(f"the claim on {path} kept changing hands; try again")

    def _claim_age(self, path: str, holder: str) -> Optional[float]:
        """Seconds since ``holder`` last claimed or renewed ``path``, if that can be read."""
        try:
            from galtro import _inspect

            for claim in _inspect.claims(self.agent.state):  # type: ignore[arg-type]
                if claim.resource_key == f"file:{path}" and claim.holder == holder:
                    return time.time() - claim.renewed_at
        except Exception:  # the refusal is given without the age
            pass
        return None

    # Messages.
    def deliver(self) -> None:
        from galtro._delivery import take_messages

        agent_id = self.agent_id

        def write(messages: List[Message]) -> None:
            shown = [m for m in messages if m[0] != agent_id]  # not its own broadcasts
            if shown:
                text = _message_lines(agent_id, shown, time.time())
                _write_reply(self.out, _context_reply(self.event, text))

        take_messages(self.agent.state, agent_id, write)

    # Session end.
    def release_all(self) -> None:
        from galtro import _operations

        _operations.evict(self.agent.state, self.agent_id)


def _report_failure(hook: _Hook, error: Exception, out: TextIO, err: TextIO) -> None:
    """Answers an event whose handling failed (the store could not be used): an edit is
    refused, or with ``--fail-open`` let through with a warning in the context."""
    problem = f"the coordination store cannot be used ({str(error) or type(error).__name__})"
    if hook.options.fail_open:
        warning = f"galtro: warning: {problem}; files are not being claimed."
        _write_reply(out, _context_reply(hook.event, warning))
    elif hook.event == PRE_TOOL[hook.tool]:
        reason = (f"galtro: {problem}, so edits are blocked. Check GALTRO_URL and the "
                  "store, or let edits through unclaimed by running the hook with "
                  "--fail-open.")
        _write_reply(out, _deny_reply(hook.tool, hook.event, reason))
    else:
        err.write(f"galtro hook: {problem}\n")


def run(options: HookOptions, stdin: TextIO, out: TextIO, err: TextIO,
        environ: Optional[Mapping[str, str]] = None) -> int:
    """Answers one hook event read from ``stdin``; returns the exit status (always 0: a
    refusal is a reply in the tool's protocol, not a status)."""
    environ = os.environ if environ is None else environ
    try:
        try:
            payload = json.loads(stdin.read())
        except ValueError as error:  # also undecodable bytes
            raise _Malformed(f"the input is not JSON ({error})") from None
        if not isinstance(payload, dict):
            raise _Malformed("the input is not a JSON object")
        hook = _Hook(options, payload, environ, out)  # pyright: ignore[reportUnknownArgumentType]
    except (ValueError, _Malformed) as error:  # ValueError: a path with a NUL in it
        err.write(f"galtro hook: ignored: {error}\n")
        return 0
    try:
        hook.run()
    except _Malformed as error:
        err.write(f"galtro hook: ignored: {error}\n")
    except Exception as error:
        try:
            _report_failure(hook, error, out, err)
        except OSError:  # the output itself is gone: nothing is left to tell
            pass
    return 0


def main(args: Sequence[str]) -> Optional[int]:
    """``galtro hook ARGS``: the exit status, or ``None`` when the arguments need the full
    parser (help, or a mistake to report)."""
    options = parse_options(args)
    if options is None:
        return None
    return run(options, sys.stdin, sys.stdout, sys.stderr)
