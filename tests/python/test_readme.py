"""The documentation as tested text: every ```python block of README.md, CONTRIBUTING.md
and docs/*.md runs (each on its own, in a fresh namespace; its asserts are its expected
output), the README keeps its order and its Quick start the two commands it promises, the
reference covers the class's methods, the refusal messages it lists are the ones raised,
and every relative link, anchor and named file points at something."""

import posixpath
import re

import pytest

from doc_text import DOC_FILES, ROOT, anchors, fenced_blocks, prose_lines, read, section
from galtro_core import CoordinationState

PYTHON_BLOCKS = [(name, start, code) for name in DOC_FILES
                 for start, code in fenced_blocks(read(name), "python")]


def test_docs_have_python_examples():
    assert len(PYTHON_BLOCKS) >= 8


@pytest.mark.parametrize("name, start, code", PYTHON_BLOCKS,
                         ids=[f"{name}:{start}" for name, start, _ in PYTHON_BLOCKS])
def test_python_block_runs(name, start, code, capsys, request, monkeypatch):
    if "GALTRO_URL" in code:  # the Redis examples run against the tests' server
        monkeypatch.setenv("GALTRO_URL", request.getfixturevalue("redis_server").url)
    # Padding keeps the line numbers of a failure those of the file.
    compiled = compile("\n" * (start - 1) + code, str(ROOT / name), "exec")
    exec(compiled, {"__name__": f"doc_{start}"})
    assert capsys.readouterr().err == ""


def test_readme_is_short_and_in_its_order():
    readme = read("README.md")
    assert len(readme.splitlines()) <= 300
    headings = [line[3:] for _, line in prose_lines(readme) if line.startswith("## ")]
    assert headings == ["Installation", "Quick start", "Coordinating coding agents",
                        "As MCP tools", "The dashboard and the report",
                        "Python in twenty lines", "The stores", "Links"]
    [(_, example)] = fenced_blocks(section("README.md", "Python in twenty lines"), "python")
    assert len(example.splitlines()) <= 20


def test_quick_start_has_exactly_the_two_commands():
    blocks = fenced_blocks(section("README.md", "Quick start"), "sh")
    assert len(blocks) == 1
    commands = [line.split("#", 1)[0].strip() for line in blocks[0][1].splitlines()]
    assert [c for c in commands if c] == ["bash scripts/quickstart.sh", "bash scripts/test.sh"]
    for script in ("scripts/quickstart.sh", "scripts/test.sh"):
        assert (ROOT / script).is_file()


def test_reference_documents_exactly_the_public_methods():
    documented = re.findall(r"^### `(\w+)\(", section("docs/reference.md", "Reference"), re.M)
    public = sorted(n for n in dir(CoordinationState) if not n.startswith("_"))
    assert sorted(documented) == sorted(public + ["CoordinationState"])


def refusal_rows():
    table = section("docs/reference.md", "Errors").split("### Argument errors")[0]
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


def links(name):
    """(line number, target) of every link and image of a file, outside code."""
    for number, line in prose_lines(read(name)):
        for target in re.findall(r"\]\(([^)\s]+)\)", re.sub(r"`[^`]*`", "", line)):
            yield number, target


@pytest.mark.parametrize("name", DOC_FILES)
def test_relative_links_anchors_and_named_files_exist(name):
    folder = posixpath.dirname(name)
    for number, target in links(name):
        if re.match(r"^[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        linked = posixpath.normpath(posixpath.join(folder, path)) if path else name
        assert (ROOT / linked).exists(), f"{name}:{number}: no file {target}"
        if anchor:
            assert linked.endswith(".md") and anchor in anchors(linked), \
                f"{name}:{number}: no anchor {target}"
    for path in re.findall(r"`((?:src|tests|scripts|examples|benchmarks|docs)/[\w./-]+)`",
                           read(name)):
        assert (ROOT / path).exists(), f"{name}: names {path}, which does not exist"


def test_readme_links_every_page():
    linked = {target.partition("#")[0] for _, target in links("README.md")}
    assert set(DOC_FILES) - {"README.md"} <= linked
