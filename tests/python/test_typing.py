"""The type stubs: shipped in the wheel, accepted by mypy --strict and pyright (strict)
for the typed example in tests/typing, strict enough to reject the mistakes listed
there, and consistent with the module at run time (mypy's stubtest).

The checkers are installed in the main test environment only; elsewhere these tests
are skipped. They check the stubs of the installed distribution, so they are skipped
too when galtro_core is imported from a build folder instead.
"""

import importlib.metadata
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import galtro_core

pytest.importorskip("mypy", reason="mypy is not installed in this environment")

ROOT = Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"
USAGE = TYPING / "usage.py"
MISUSE = TYPING / "misuse.py"
STUB_SOURCE = ROOT / "src" / "binding" / "galtro_core.pyi"
MODULE_DIR = Path(galtro_core.__file__).resolve().parent


def installed_distribution():
    """The distribution that provides the imported module, or None."""
    try:
        dist = importlib.metadata.distribution("galtro_core")
    except importlib.metadata.PackageNotFoundError:
        return None
    files = {str(f): Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    module = Path(galtro_core.__file__).resolve()
    return files if module in files.values() else None


FILES = installed_distribution()
pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    FILES is None, reason="galtro_core is not imported from an installed wheel"
)]


def marked_lines(path):
    """Line numbers that carry a trailing '# error' mark."""
    lines = path.read_text(encoding="utf-8").splitlines()
    return {n for n, line in enumerate(lines, 1) if re.search(r"#\s*error\s*$", line)}


def run(*command, cwd=TYPING):
    return subprocess.run(
        command, cwd=cwd, capture_output=True, text=True, timeout=600, check=False
    )


class TestShippedStubs:
    def test_stub_package_and_module_stub_are_installed_unchanged(self):
        for name in ("galtro_core-stubs/__init__.pyi", "galtro_core.pyi"):
            assert name in FILES, sorted(FILES)
            if STUB_SOURCE.exists():
                assert FILES[name].read_text() == STUB_SOURCE.read_text(), name

    def test_licence_travels_with_the_distribution(self):
        assert any(name.endswith("LICENSE") for name in FILES), sorted(FILES)


def mypy(*args):
    return run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
               "--no-error-summary", "--hide-error-context", *args)


def mypy_error_lines(output, path):
    found = set()
    for line in output.splitlines():
        match = re.match(rf"{re.escape(path.name)}:(\d+): error:", line)
        if match:
            found.add(int(match.group(1)))
    return found


class TestMypy:
    def test_typed_example_passes_strict(self):
        result = mypy(USAGE.name)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_every_marked_mistake_and_nothing_else_is_reported(self):
        result = mypy(MISUSE.name)
        assert result.returncode == 1, result.stdout + result.stderr
        assert mypy_error_lines(result.stdout, MISUSE) == marked_lines(MISUSE), result.stdout

    def test_stubtest_finds_stubs_and_runtime_in_agreement(self):
        result = run(sys.executable, "-m", "mypy.stubtest", "galtro_core",
                     "--mypy-config-file", os.devnull)
        assert result.returncode == 0, result.stdout + result.stderr
        assert "Success" in result.stdout


def pyright_diagnostics(path, python_version):
    pytest.importorskip("pyright", reason="pyright is not installed in this environment")
    result = run(sys.executable, "-m", "pyright", "--outputjson",
                 "--pythonpath", sys.executable, "--pythonversion", python_version,
                 "-p", str(TYPING), path.name)
    try:
        report = json.loads(result.stdout)
    except json.JSONDecodeError:
        pytest.fail(f"pyright gave no report:\n{result.stdout}\n{result.stderr}")
    assert report["summary"]["filesAnalyzed"] == 1, report["summary"]
    return [d for d in report["generalDiagnostics"] if d["severity"] == "error"]


# The oldest interpreter the module supports, and the one running the tests.
PYTHON_VERSIONS = sorted({"3.9", f"{sys.version_info[0]}.{sys.version_info[1]}"})


@pytest.mark.parametrize("python_version", PYTHON_VERSIONS)
class TestPyright:
    def test_typed_example_passes_strict(self, python_version):
        errors = pyright_diagnostics(USAGE, python_version)
        assert errors == [], json.dumps(errors, indent=1)

    def test_every_marked_mistake_and_nothing_else_is_reported(self, python_version):
        errors = pyright_diagnostics(MISUSE, python_version)
        lines = {d["range"]["start"]["line"] + 1 for d in errors}
        assert lines == marked_lines(MISUSE), json.dumps(errors, indent=1)


def test_typed_example_runs():
    """The types asserted in the example hold for the values the module returns."""
    result = run(sys.executable, str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


GALTRO_USAGE = TYPING / "galtro_usage.py"
GALTRO_SOURCE = ROOT / "src" / "galtro"


class TestGaltroPackage:
    """The pure-Python package: its sources pass mypy --strict and pyright (strict, by
    the comment in each file); its stubs agree with the running classes; a typed user
    of the Redis classes passes both checkers."""

    @pytest.fixture(autouse=True)
    def needs_redis(self):
        pytest.importorskip("redis", reason="redis-py is not installed")

    def test_sources_pass_mypy_strict(self):
        if not GALTRO_SOURCE.exists():
            pytest.skip("no source tree")
        result = mypy(str(GALTRO_SOURCE))
        assert result.returncode == 0, result.stdout + result.stderr

    @pytest.mark.parametrize("python_version", PYTHON_VERSIONS)
    def test_sources_pass_pyright_strict(self, python_version):
        pytest.importorskip("pyright", reason="pyright is not installed in this environment")
        if not GALTRO_SOURCE.exists():
            pytest.skip("no source tree")
        result = run(sys.executable, "-m", "pyright", "--outputjson", "--pythonpath",
                     sys.executable, "--pythonversion", python_version, str(GALTRO_SOURCE))
        report = json.loads(result.stdout)
        assert report["summary"]["errorCount"] == 0, json.dumps(report, indent=1)

    @pytest.mark.parametrize("module", ["galtro.redis", "galtro.sqlite"])
    def test_stubtest_finds_stubs_and_runtime_in_agreement(self, module):
        result = run(sys.executable, "-m", "mypy.stubtest", module,
                     "--mypy-config-file", os.devnull,
                     "--allowlist", str(TYPING / "stubtest_allowlist.txt"),
                     "--ignore-unused-allowlist")
        assert result.returncode == 0, result.stdout + result.stderr

    def test_typed_use_passes_mypy_strict(self):
        result = mypy(GALTRO_USAGE.name)
        assert result.returncode == 0, result.stdout + result.stderr

    @pytest.mark.parametrize("python_version", PYTHON_VERSIONS)
    def test_typed_use_passes_pyright_strict(self, python_version):
        errors = pyright_diagnostics(GALTRO_USAGE, python_version)
        assert errors == [], json.dumps(errors, indent=1)
