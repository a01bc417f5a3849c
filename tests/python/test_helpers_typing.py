"""galtro's helpers for a typed user: a typed use of them passes mypy --strict and
pyright (strict) and runs; the stub of galtro._state_reader agrees with the module."""

import json
import os
import sys

import pytest

from test_typing import FILES, PYTHON_VERSIONS, TYPING, mypy, pyright_diagnostics, run

pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    FILES is None, reason="galtro_core is not imported from an installed wheel"
)]

USAGE = TYPING / "galtro_helpers_usage.py"


def test_typed_use_passes_mypy_strict_and_runs():
    result = mypy(USAGE.name)
    assert result.returncode == 0, result.stdout + result.stderr
    result = run(sys.executable, str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("python_version", PYTHON_VERSIONS)
def test_typed_use_passes_pyright_strict(python_version):
    errors = pyright_diagnostics(USAGE, python_version)
    assert errors == [], json.dumps(errors, indent=1)


def test_reader_stub_agrees_with_the_module():
    assert "galtro/_state_reader.pyi" in FILES, sorted(FILES)
    result = run(sys.executable, "-m", "mypy.stubtest", "galtro._state_reader",
                 "--mypy-config-file", os.devnull)
    assert result.returncode == 0, result.stdout + result.stderr
