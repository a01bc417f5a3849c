"""README.md as tested documentation: every ```python block runs (each on its own, in a
fresh namespace; its asserts are its expected output), the Quick start is the two
commands it promises, the reference covers the class's methods, the refusal messages
it lists are the ones raised, and its links and file names point at something."""

import re
from pathlib import Path

import pytest

from galtro_core import CoordinationState

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def fenced_blocks(language):
    """(first line number, code) of every ``` block in the given language."""
    blocks, current, start = [], None, 0
    for number, line in enumerate(README.splitlines(), 1):
        if current is None and line.strip() == f"```{language}":
            current, start = [], number + 1
        elif current is not None and line.strip() == "```":
            blocks.append((start, "\n".join(current) + "\n"))
            current = None
        elif current is not None:
            current.append(line)
    assert current is None, f"unclosed ```{language} block from line {start}"
    return blocks


def section(title):
    """The text under the '## title' heading, up to the next '## ' heading."""
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", README, re.M | re.S)
    assert match, f"no section '{title}'"
    return match.group(1)


PYTHON_BLOCKS = fenced_blocks("python")


def test_readme_has_python_examples():
    assert len(PYTHON_BLOCKS) >= 8


@pytest.mark.parametrize("start, code", PYTHON_BLOCKS, ids=[f"line{s}" for s, _ in PYTHON_BLOCKS])
def test_python_block_runs(start, code, capsys, request, monkeypatch):
    if "GALTRO_URL" in code:  # the Redis examples run against the tests' server
        monkeypatch.setenv("GALTRO_URL", request.getfixturevalue("redis_server").url)
    # Padding keeps the line numbers of a failure those of README.md.
    compiled = compile("\n" * (start - 1) + code, str(ROOT / "README.md"), "exec")
    exec(compiled, {"__name__": f"readme_line_{start}"})
    assert capsys.readouterr().err == ""


def test_quick_start_is_first_and_has_exactly_the_two_commands():
    first_section = re.search(r"^## (.+)$", README, re.M).group(1)
    assert first_section == "Quick start"
    blocks = re.findall(r"```sh\n(.*?)```", section("Quick start"), re.S)
    assert len(blocks) == 1
    commands = [line.split("#", 1)[0].strip() for line in blocks[0].splitlines()]
    assert [c for c in commands if c] == ["bash scripts/quickstart.sh", "bash scripts/test.sh"]
    for script in ("scripts/quickstart.sh", "scripts/test.sh"):
        assert (ROOT / script).is_file()


def test_reference_documents_exactly_the_public_methods():
    documented = re.findall(r"^### `(\w+)\(", section("Reference"), re.M)
    public = sorted(n for n in dir(CoordinationState) if not n.startswith("_"))
    assert sorted(documented) == sorted(public + ["CoordinationState"])


def refusal_rows():
    table = section("Errors").split("### Argument errors")[0]
    rows = re.findall(r"^\| `(\w+)` \| (.+?) \| `(.+?)` \|$", table, re.M)
    assert len(rows) == 6, rows
    return rows


# How to provoke each listed refusal, and the values its placeholders take.
PROVOKE = {
    ("claim_file", "a live claim is stored"): (
        lambda s: (s.claim_file("ann", "a.py"), s.claim_file("bo", "a.py")),
        {"holder": "ann", "path": "a.py"}),
    ("claim_task", "a live claim is stored"): (
        lambda s: (s.claim_task("ann", "t 1"), s.claim_task("bo", "t 1")),
        {"holder": "ann", "task_id": "t 1"}),
    ("renew_claim", "nothing is stored under the key"): (
        lambda s: s.renew_claim("ann", "file:a.py"),
        {"resource_key": "file:a.py"}),
    ("renew_claim", "another agent holds it"): (
        lambda s: (s.claim_file("ann", "a.py"), s.renew_claim("bo", "file:a.py")),
        {"agent_id": "bo", "holder": "ann"}),
    ("release", "nothing is stored under the key"): (
        lambda s: s.release("ann", "file:a.py"),
        {"agent_id": "ann"}),
    ("release", "another agent holds it"): (
        lambda s: (s.claim_task("ann", "t"), s.release("bo", "task:t")),
        {"agent_id": "bo", "holder": "ann"}),
}


@pytest.mark.parametrize("method, when, template", refusal_rows())
def test_listed_refusal_is_the_message_raised(method, when, template):
    provoke, fill = PROVOKE[(method, when)]
    with pytest.raises(RuntimeError) as refusal:
        provoke(CoordinationState())
    assert refusal.value.args == (template.format(**fill),)


def github_anchor(heading):
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def test_internal_links_and_named_files_exist():
    anchors = {github_anchor(h) for h in re.findall(r"^#+ (.+)$", README, re.M)}
    for target in re.findall(r"\]\(#([^)]+)\)", README):
        assert target in anchors, target
    for path in re.findall(r"`((?:src|tests|scripts|examples|benchmarks)/[\w./-]+)`", README):
        assert (ROOT / path).exists(), path


def test_contents_lists_every_section():
    sections = [h for h in re.findall(r"^## (.+)$", README, re.M)
                if h not in ("Quick start", "Contents")]
    listed = re.findall(r"^- \[([^\]]+)\]\(#", section("Contents"), re.M)
    assert listed == sections
