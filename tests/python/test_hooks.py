"""`galtro hook` and `galtro init` as the coding agents run them: each tool's documented
hook payloads fed to `python -m galtro hook` subprocesses against a real store, and the
settings files that `galtro init` merges into.

The payload and reply shapes come from each tool's hook documentation:
- Claude Code: https://code.claude.com/docs/en/hooks (events, `tool_input.file_path`,
  `hookSpecificOutput.permissionDecision` "deny" with `permissionDecisionReason`,
  `hookSpecificOutput.additionalContext`) and https://code.claude.com/docs/en/tools-reference
  (Edit, Write, NotebookEdit with `notebook_path`; MultiEdit is no longer listed there,
  and is still matched for older releases).
- Gemini CLI: https://geminicli.com/docs/hooks/reference (BeforeTool, AfterTool,
  BeforeAgent, SessionStart, SessionEnd; `{"decision": "deny", "reason": ...}`;
  `timeout` in milliseconds) and https://geminicli.com/docs/tools (`write_file` and
  `replace` take `file_path`).
- Codex CLI: https://developers.openai.com/codex/hooks (`.codex/hooks.json` in Claude's
  shape, PreToolUse, PostToolUse, UserPromptSubmit, SessionStart, no session end; new
  hooks run once trusted in /hooks); `apply_patch` reaches PreToolUse with the patch in
  `tool_input.command` from Codex 0.124.0 on
  (https://docs.nvidia.com/nemo/guardrails/run-guardrailed-inference/using-hooks-server/codex).
"""

import json
import os
import re
import subprocess
import sys

import pytest

import galtro
from doc_text import path_with_galtro, section_blocks


@pytest.fixture
def store(shared_store):
    """(url, namespace, state) of a fresh store of each kind the hook can use."""
    url, state = shared_store
    return url, state.namespace, state


@pytest.fixture
def repo(tmp_path):
    """A project: a folder with .git, where the agents run."""
    (tmp_path / "repo" / ".git").mkdir(parents=True)
    (tmp_path / "repo" / "src").mkdir()
    return tmp_path / "repo"


def clean_environment(**extra):
    """The environment without any variable that would choose the agent or the root."""
    names = ("GALTRO_AGENT", "CLAUDE_PROJECT_DIR", "GEMINI_PROJECT_DIR")
    environment = {k: v for k, v in os.environ.items() if k not in names}
    return {**environment, **extra}


def hook(tool, payload, store, *options, cwd=None):
    url, namespace, _ = store
    text = payload if isinstance(payload, str) else json.dumps(payload)
    return subprocess.run(
        [sys.executable, "-m", "galtro", "hook", "--tool", tool, *options],
        input=text, capture_output=True, text=True, timeout=60, cwd=cwd,
        env=clean_environment(GALTRO_URL=url, GALTRO_NAMESPACE=namespace))


class Tool:
    """One coding agent's hook protocol, as its documentation gives it."""

    def __init__(self, name, pre, post, prompt, end, edit, deny_reason):
        self.name, self.pre, self.post, self.prompt, self.end = name, pre, post, prompt, end
        self.edit, self.deny_reason = edit, deny_reason

    def event(self, event, session, cwd, **fields):
        return {"hook_event_name": event, "session_id": session, "cwd": str(cwd),
                "transcript_path": "/tmp/transcript.jsonl", **fields}

    def edit_event(self, session, cwd, *paths):
        tool_name, tool_input = self.edit(*paths)
        return self.event(self.pre, session, cwd, tool_name=tool_name, tool_input=tool_input)

    def context(self, result):
        """The context added by a reply (empty when nothing was printed)."""
        assert result.returncode == 0 and result.stderr == "", result
        if not result.stdout:
            return ""
        output = json.loads(result.stdout)["hookSpecificOutput"]
        assert output["hookEventName"] in (self.post, self.prompt, "SessionStart", self.pre)
        return output["additionalContext"]


def codex_patch(*paths):
    body = ["*** Begin Patch"]
    for index, path in enumerate(paths):
        marker = ("*** Add File: ", "*** Update File: ", "*** Delete File: ")[index % 3]
        body += [marker + path, "+line"]
    return "apply_patch", {"command": "\n".join(body + ["*** End Patch"]) + "\n"}


def hook_specific_deny(result):
    assert result.returncode == 0, result
    output = json.loads(result.stdout)["hookSpecificOutput"]
    assert (output["hookEventName"], output["permissionDecision"]) == ("PreToolUse", "deny")
    return output["permissionDecisionReason"]


def gemini_deny(result):
    assert result.returncode == 0, result
    reply = json.loads(result.stdout)
    assert reply["decision"] == "deny"
    return reply["reason"]


TOOLS = [
    Tool("claude", "PreToolUse", "PostToolUse", "UserPromptSubmit", "SessionEnd",
         lambda path: ("Edit", {"file_path": path, "old_string": "a", "new_string": "b"}),
         hook_specific_deny),
    Tool("gemini", "BeforeTool", "AfterTool", "BeforeAgent", "SessionEnd",
         lambda path: ("write_file", {"file_path": path, "content": "x"}),
         gemini_deny),
    Tool("codex", "PreToolUse", "PostToolUse", "UserPromptSubmit", None,
         codex_patch, hook_specific_deny),
]
ids = [tool.name for tool in TOOLS]


def held(state):
    return {claim.resource_key: claim.holder for claim in galtro.claims(state)}


@pytest.mark.parametrize("tool", TOOLS, ids=ids)
def test_edits_claim_block_renew_and_session_end_releases(tool, store, repo):
    state = store[2]
    ann, bob = f"{tool.name}-aaaaaaaa", f"{tool.name}-bbbbbbbb"
    # Claude and Gemini send absolute paths; a Codex patch names them from cwd.
    path = "src/a.py" if tool.name == "codex" else str(repo / "src" / "a.py")

    first = hook(tool.name, tool.edit_event("aaaaaaaa-11", repo, path), store)
    assert (first.returncode, first.stdout, first.stderr) == (0, "", "")
    assert held(state) == {"file:src/a.py": ann}

    refused = hook(tool.name, tool.edit_event("bbbbbbbb-22", repo / "src",
                                              "a.py" if tool.name == "codex" else path), store)
    reason = re.sub(r"renewed \d+s ago", "renewed 1s ago", tool.deny_reason(refused))
    assert reason == (
        f"galtro: src/a.py is claimed by {ann} (last claimed or renewed 1s ago), so this "
        f"edit was not made. Work on something else, wait for {ann} to finish, or ask "
        f"{ann} to release it: galtro send {bob} {ann} \"I need src/a.py, please release "
        "it when you can\" (or the MCP tool send_message).")

    again = hook(tool.name, tool.edit_event("aaaaaaaa-11", repo, path), store)
    assert (again.returncode, again.stdout) == (0, "")
    assert held(state) == {"file:src/a.py": ann}
    outside = hook(tool.name, tool.edit_event("bbbbbbbb-22", repo, "/elsewhere/b.py"), store)
    assert (outside.returncode, outside.stdout) == (0, "")
    assert held(state) == {"file:src/a.py": ann}

    if tool.end is not None:
        state.claim_task(ann, "t1")
        ended = hook(tool.name, tool.event(tool.end, "aaaaaaaa-11", repo, reason="exit"), store)
        assert (ended.returncode, ended.stdout, ended.stderr) == (0, "", "")
        assert held(state) == {} and state.status(ann) == "idle"


def test_codex_patch_is_all_or_nothing(store, repo):
    tool, state = TOOLS[2], store[2]
    state.claim_file("bob", "src/b.py")
    patch = tool.edit_event("aaaaaaaa", repo, "src/a.py", "src/b.py", "src/c.py")
    reason = tool.deny_reason(hook("codex", patch, store))
    assert reason.startswith("galtro: src/b.py is claimed by bob (")
    assert held(state) == {"file:src/b.py": "bob"}


@pytest.mark.parametrize("tool", TOOLS, ids=ids)
def test_messages_reach_the_model_as_context(tool, store, repo):
    state = store[2]
    ann, bob = f"{tool.name}-aaaaaaaa", f"{tool.name}-bbbbbbbb"
    # Each session start makes its agent known; the agent's own "joined" is not shown.
    assert tool.context(hook(tool.name, tool.event("SessionStart", "aaaaaaaa", repo,
                                                   source="startup"), store)) == ""
    assert tool.context(hook(tool.name, tool.event("SessionStart", "bbbbbbbb", repo,
                                                   source="startup"), store)) == ""
    state.send_message(bob, ann, "I need src/a.py\nwhen you can")
    prompt = hook(tool.name, tool.event(tool.prompt, "aaaaaaaa", repo, prompt="go on"), store)
    lines = tool.context(prompt).splitlines()
    assert lines[0] == (f"galtro: 2 new messages for {ann} (reply: galtro send {ann} "
                        "RECIPIENT TEXT, or the MCP tool send_message)")
    assert re.fullmatch(rf"{bob}, \d+s ago: joined {re.escape(str(repo))}", lines[1])
    assert re.fullmatch(rf"{bob}, \d+s ago: I need src/a.py when you can", lines[2])
    assert state.inbox(ann) == []
    state.send_message(bob, ann, "thanks")
    after = hook(tool.name, tool.event(tool.post, "aaaaaaaa", repo, tool_name="Read",
                                       tool_input={}, tool_response={}), store)
    assert tool.context(after).splitlines()[1].endswith(": thanks")
    assert tool.context(hook(tool.name, tool.event(tool.post, "aaaaaaaa", repo,
                                                   tool_name="Read"), store)) == ""


def test_bad_input_passes_and_a_dead_store_blocks_edits(store, repo, tmp_path):
    url, namespace, _ = store
    for payload in ("{not json", "[]", json.dumps({"hook_event_name": "Notification",
                                                   "session_id": "s", "cwd": str(repo)})):
        result = hook("claude", payload, store)
        assert (result.returncode, result.stdout) == (0, "")
        assert len(result.stderr.splitlines()) == 1 and "Traceback" not in result.stderr
    # A mistake in the hook's own command line exits with 1: 2 would block the agent.
    mistake = subprocess.run([sys.executable, "-m", "galtro", "hook", "--tool", "vim"],
                             input="{}", capture_output=True, text=True, timeout=60)
    assert (mistake.returncode, mistake.stdout) == (1, "")
    assert "invalid choice: 'vim'" in mistake.stderr and len(mistake.stderr.splitlines()) == 1
    dead = (f"unix://{tmp_path}/no.sock", namespace, None)
    edit = TOOLS[1].edit_event("s", repo, str(repo / "a.py"))
    assert "coordination store cannot be used" in gemini_deny(hook("gemini", edit, dead))
    warned = hook("gemini", edit, dead, "--fail-open")
    assert warned.returncode == 0 and "warning" in TOOLS[1].context(warned)


def read_json(path):
    return json.loads(path.read_text(encoding="utf-8"))


def init(*args, cwd, home):
    return subprocess.run([sys.executable, "-m", "galtro", "init", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=60,
                          env=clean_environment(HOME=str(home), CODEX_HOME=""))


@pytest.mark.parametrize("tool, path, timeout", [
    ("claude", ".claude/settings.json", 10),
    ("gemini", ".gemini/settings.json", 10000),
    ("codex", ".codex/hooks.json", 10),
])
def test_init_merges_into_existing_settings(tool, path, timeout, repo, tmp_path):
    theirs = {"type": "command", "command": "./lint.sh"}
    existing = {"model": "mine", "hooks": {
        "PreToolUse": [{"matcher": "Bash", "hooks": [theirs]}],
        "SessionStart": [{"hooks": [{"type": "command", "command": "galtro hook --tool "
                                     f"{tool} --agent old"}]}]}}
    settings = repo / path
    settings.parent.mkdir()
    settings.write_text(json.dumps(existing))
    printed = init(tool, "--print", cwd=repo / "src", home=tmp_path)
    assert printed.returncode == 0 and read_json(settings) == existing

    assert init(tool, cwd=repo / "src", home=tmp_path).returncode == 0
    written = read_json(settings)
    assert written == json.loads(printed.stdout)
    assert written["model"] == "mine"
    hooks = written["hooks"]
    ours = {"type": "command", "command": f"galtro hook --tool {tool}", "timeout": timeout}
    if tool == "gemini":
        ours["name"] = "galtro"
    pre = {"claude": "PreToolUse", "gemini": "BeforeTool", "codex": "PreToolUse"}[tool]
    edit_matcher = {"claude": "Edit|Write|MultiEdit|NotebookEdit",
                    "gemini": "write_file|replace", "codex": "apply_patch"}[tool]
    assert {"matcher": edit_matcher, "hooks": [ours]} in hooks[pre]
    assert {"matcher": "Bash", "hooks": [theirs]} in hooks["PreToolUse"]
    assert hooks["SessionStart"] == [{"hooks": [ours]}]  # the old entry replaced
    assert ("SessionEnd" in hooks) == (tool != "codex")

    before = settings.stat().st_mtime_ns
    again = init(tool, cwd=repo, home=tmp_path)
    assert again.returncode == 0 and "already" in again.stdout
    assert settings.stat().st_mtime_ns == before
    assert ("trust" in again.stdout) == (tool == "codex")

    assert init(tool, "--user", cwd=repo, home=tmp_path).returncode == 0
    assert read_json(tmp_path / path)["hooks"][pre] == [{"matcher": edit_matcher,
                                                         "hooks": [ours]}]
    settings.write_text("{broken")
    broken = init(tool, cwd=repo, home=tmp_path)
    assert broken.returncode == 2 and settings.read_text() == "{broken"
    assert len(broken.stderr.splitlines()) == 1


def walkthrough_blocks():
    """The sh blocks of the README's "Coordinating coding agents" section."""
    return section_blocks("README.md", "Coordinating coding agents", "sh")


def run_walkthrough(tmp_path, script):
    """Runs ``script`` with bash as a reader would: in the folder that holds my-project
    (a new repository), with `galtro` on PATH, the default store and nothing set."""
    (tmp_path / "my-project" / ".git").mkdir(parents=True, exist_ok=True)
    environment = clean_environment(PATH=path_with_galtro(tmp_path), HOME=str(tmp_path / "home"))
    for name in ("GALTRO_URL", "GALTRO_NAMESPACE", "GIT_DIR", "XDG_STATE_HOME"):
        environment.pop(name, None)
    return subprocess.run(["bash", "-e", "-c", script], cwd=tmp_path, env=environment,
                          capture_output=True, text=True, timeout=120)


def test_readme_walkthrough_runs_as_written(tmp_path):
    setup, play, _ = walkthrough_blocks()
    assert setup.startswith("pip install galtro_core ")  # the one line not run here
    result = run_walkthrough(tmp_path, setup.split("\n", 1)[1] + play)
    assert result.returncode == 0, result
    project = tmp_path / "my-project"
    for settings in (".claude/settings.json", ".gemini/settings.json", ".codex/hooks.json"):
        assert "galtro hook --tool" in (project / settings).read_text()
    assert (project / ".git" / "galtro.sqlite3").exists()
    replies = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
    assert len(replies) == 1
    reason = replies[0]["hookSpecificOutput"]["permissionDecisionReason"]
    assert reason.startswith("galtro: src/app.py is claimed by claude-ann-0001 (")
    assert re.search(r"^file:src/app\.py\s+claude-ann-0001\s", result.stdout, re.M)


def test_readme_evict_clears_an_agent(tmp_path):
    _, play, evict = walkthrough_blocks()
    if run_walkthrough(tmp_path, "galtro evict --help").returncode != 0:
        pytest.skip("this build of the command has no evict")
    cleared = run_walkthrough(tmp_path, f"cd my-project\n{play}{evict}galtro claims\n")
    assert cleared.returncode == 0, cleared
    assert cleared.stdout.splitlines()[-1].startswith("KEY")  # no claim is left
