# pyright: strict
"""``galtro init claude|gemini|codex``: the hooks of ``galtro hook`` in a tool's settings.

The hooks are merged into the settings file that is there: the user's other settings
and hooks stay as they are, a ``galtro hook`` entry of an earlier version is replaced,
and a file that already holds these hooks is not written again.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List, Mapping, Optional, TextIO, Tuple, cast

from galtro._hook import EDIT_TOOLS, POST_TOOL, PRE_TOOL, PROMPT, SESSION_END, SESSION_START, \
    TOOLS, project_root

__all__ = ["TOOLS", "InitError", "settings_path", "hook_settings", "merge", "init",
           "add_commands"]

#: Seconds a hook may take before the tool gives up on it (Gemini counts milliseconds).
TIMEOUT_SECONDS = 10

#: The settings file, per tool: relative to the project root, and to the home directory
#: with ``--user`` (Codex's home is ``$CODEX_HOME`` when that is set).
_PROJECT_FILES = {"claude": ".claude/settings.json", "gemini": ".gemini/settings.json",
                  "codex": ".codex/hooks.json"}

_TRUST_NOTE = ("Codex runs a new or changed hook only once you have trusted it: open /hooks "
               "in Codex and trust the galtro hooks. Project hooks run only in a trusted "
               "project.")


class InitError(ValueError):
    """The settings file cannot be read or written; the message says which and why."""


def settings_path(tool: str, user: bool, cwd: str, environ: Mapping[str, str]) -> str:
    """The settings file ``galtro init`` writes for ``tool``."""
    if not user:
        return os.path.join(project_root(tool, cwd, environ), _PROJECT_FILES[tool])
    if tool == "codex" and environ.get("CODEX_HOME"):
        return os.path.join(environ["CODEX_HOME"], "hooks.json")
    home = environ.get("HOME") or os.path.expanduser("~")
    return os.path.join(home, _PROJECT_FILES[tool])


def _command(tool: str) -> str:
    return f"galtro hook --tool {tool}"


def hook_settings(tool: str) -> Dict[str, List[Dict[str, Any]]]:
    """The hook groups of ``galtro hook`` for ``tool``, by event."""
    handler: Dict[str, Any] = {"type": "command", "command": _command(tool)}
    if tool == "gemini":
        handler.update(name="galtro", timeout=TIMEOUT_SECONDS * 1000)
    else:
        handler["timeout"] = TIMEOUT_SECONDS
    every = {"hooks": [handler]}
    events: Dict[str, List[Dict[str, Any]]] = {
        SESSION_START: [every],
        PROMPT[tool]: [every],
        PRE_TOOL[tool]: [{"matcher": "|".join(EDIT_TOOLS[tool]), "hooks": [handler]}],
        POST_TOOL[tool]: [every],
    }
    if tool in SESSION_END:
        events[SESSION_END[tool]] = [every]
    return events


def _is_ours(group: object, tool: str) -> bool:
    """Whether a hook group runs ``galtro hook`` for ``tool`` (of this or an earlier
    version)."""
    if not isinstance(group, dict):
        return False
    hooks: object = cast(Dict[str, Any], group).get("hooks")
    handlers = cast(List[Any], hooks)
    if not isinstance(hooks, list):
        return False
    return any(isinstance(h, dict) and str(cast(Dict[str, Any], h).get("command", ""))
               .startswith(_command(tool)) for h in handlers)


def merge(settings: Dict[str, Any], tool: str) -> Tuple[Dict[str, Any], bool]:
    """``settings`` with the hooks of ``tool`` merged in, and whether anything changed.
    Raises ``InitError`` when ``settings["hooks"]`` is not shaped as hooks are."""
    merged: Dict[str, Any] = json.loads(json.dumps(settings))
    hooks: object = merged.setdefault("hooks", {})
    if not isinstance(hooks, dict):
        raise InitError('"hooks" is not an object')
    by_event = cast(Dict[str, Any], hooks)
    for event, groups in hook_settings(tool).items():
        existing: object = by_event.setdefault(event, [])
        present = cast(List[Any], existing)
        if not isinstance(existing, list):
            raise InitError(f'"hooks.{event}" is not a list')
        if all(group in present for group in groups):
            continue
        by_event[event] = [group for group in present if not _is_ours(group, tool)] + groups
    return merged, merged != settings


def _read(path: str) -> Dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except FileNotFoundError:
        return {}
    except OSError as error:
        raise InitError(f"cannot read {path}: {error.strerror}") from None
    if not text.strip():
        return {}
    try:
        settings = json.loads(text)
    except ValueError as error:
        raise InitError(f"{path} is not valid JSON ({error}); fix or move it first") from None
    if not isinstance(settings, dict):
        raise InitError(f"{path} does not hold a JSON object")
    return settings  # pyright: ignore[reportUnknownVariableType]


def _write(path: str, settings: Mapping[str, Any]) -> None:
    """Writes ``settings`` whole or not at all: into a new file beside it, then renamed."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    partial = f"{path}.galtro-{os.getpid()}"
    try:
        with open(partial, "w", encoding="utf-8") as file:
            file.write(json.dumps(settings, indent=2, ensure_ascii=False) + "\n")
        if os.path.exists(path):
            os.chmod(partial, os.stat(path).st_mode & 0o7777)
        os.replace(partial, path)
    except OSError as error:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise InitError(f"cannot write {path}: {error.strerror}") from None


def init(tool: str, *, user: bool = False, show: bool = False, out: TextIO,
         cwd: Optional[str] = None, environ: Optional[Mapping[str, str]] = None) -> None:
    """Merges the hooks of ``tool`` into its settings file, or with ``show`` prints the
    merged file instead. Raises ``InitError``."""
    environ = os.environ if environ is None else environ
    path = settings_path(tool, user, cwd or os.getcwd(), environ)
    merged, changed = merge(_read(path), tool)
    if show:
        out.write(json.dumps(merged, indent=2, ensure_ascii=False) + "\n")
        return
    if changed:
        _write(path, merged)
        out.write(f"galtro hooks for {tool} written to {path}\n")
    else:
        out.write(f"galtro hooks for {tool} already in {path}\n")
    if tool == "codex":
        out.write(_TRUST_NOTE + "\n")


def add_commands(commands: Any) -> None:
    """Adds ``hook`` and ``init`` to the subcommands (an argparse subparsers object) of
    the ``galtro`` command. Each sets ``run``, called with the command's run object."""
    import argparse
    import sys

    from galtro import _hook

    sub = commands.add_parser(
        "hook", help="answer a coding agent's hook event (JSON on standard input)",
        description="Answer one hook event of a coding agent, read as JSON from standard "
                    "input, in that agent's protocol: claim files before an edit, hand "
                    "over messages, release claims at session end.")
    sub.add_argument("--tool", required=True, choices=TOOLS, help="the coding agent")
    sub.add_argument("--agent", help="the agent id (default: $GALTRO_AGENT, else "
                     "TOOL-<first 8 characters of the session id>)")
    sub.add_argument("--fail-open", action="store_true",
                     help="let edits through, with a warning, when the store cannot be used")
    sub.add_argument("--url", default=argparse.SUPPRESS, help="the store")
    sub.add_argument("--namespace", default=argparse.SUPPRESS, help="the namespace")

    def run_hook(command: Any) -> None:
        args = command.args
        options = _hook.HookOptions(args.tool, args.agent, args.fail_open, args.url,
                                    args.namespace)
        _hook.run(options, sys.stdin, command.out, sys.stderr)

    sub.set_defaults(run=run_hook)

    sub = commands.add_parser(
        "init", help="add the galtro hooks to a coding agent's settings",
        description="Merge the hooks of 'galtro hook' into the project's settings file of "
                    "a coding agent (.claude/settings.json, .gemini/settings.json or "
                    ".codex/hooks.json), keeping every other setting and hook.")
    sub.add_argument("tool", choices=TOOLS, metavar="TOOL", help="claude, gemini or codex")
    sub.add_argument("--print", action="store_true", dest="show",
                     help="print the merged settings instead of writing them")
    sub.add_argument("--user", action="store_true",
                     help="the user's settings file (in the home directory) instead")

    def run_init(command: Any) -> None:
        args = command.args
        init(args.tool, user=args.user, show=args.show, out=command.out)

    sub.set_defaults(run=run_init)
