"""Reference accounting under a debug interpreter, over every path of every call.

tests/reliability/refcount_check.py does the work in a child: python3.11-dbg (or
GALTRO_DEBUG_PYTHON) with this very module copied beside it. It calls each method on
each of its paths many times and fails if allocated blocks or the reference count of
any object the calls touch grows (test_binding.py checks a few paths the same way in
the running interpreter; this one adds the debug interpreter's run-time checks and
every path). The exact total of sys.gettotalrefcount() needs a module whose own
increments are counted, built against the debug headers: scripts/reliability.sh
builds one and names its folder in GALTRO_COUNTED_MODULE_DIR.
"""

import os
import shutil
import subprocess
import sys

import pytest

import galtro
import galtro_core

CHECK = os.path.join(os.path.dirname(__file__), "..", "reliability", "refcount_check.py")
LEVEL = os.environ.get("GALTRO_RELIABILITY_LEVEL", "smoke")
ITERATIONS = {"smoke": 300, "ci": 5_000, "long": 50_000}[LEVEL]


def debug_python():
    return os.environ.get("GALTRO_DEBUG_PYTHON") or shutil.which("python3.11-dbg")


def sanitized():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line or "libtsan" in line for line in maps)


pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux debug interpreter"),
    pytest.mark.skipif(debug_python() is None,
                       reason="no debug interpreter (apt-get install python3.11-dbg)"),
]


def run_check(module_file, tmp_path, *flags):
    folder = tmp_path / "module"
    folder.mkdir()
    # The debug interpreter accepts the stable-ABI suffix; a fresh folder keeps the
    # rest of this interpreter's site-packages off its path.
    shutil.copy(module_file, folder / "galtro_core.abi3.so")
    # The check takes the methods' parameters from the galtro package.
    shutil.copytree(os.path.dirname(galtro.__file__), folder / "galtro",
                    ignore=shutil.ignore_patterns("__pycache__"))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "LD_PRELOAD"))}
    env["PYTHONPATH"] = str(folder)
    done = subprocess.run([debug_python(), CHECK, "--iterations", str(ITERATIONS), *flags],
                          env=env, capture_output=True, text=True, timeout=900)
    print(done.stdout)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "galtro_core.abi3.so in CPython" in done.stdout
    return done.stdout


@pytest.mark.skipif(sanitized(), reason="the sanitized module needs its runtime; the "
                    "release module is the one checked here")
def test_this_module_in_the_debug_interpreter_leaks_nothing(tmp_path):
    out = run_check(galtro_core.__file__, tmp_path)
    assert "worst drift of one path" in out


@pytest.mark.skipif(not os.environ.get("GALTRO_COUNTED_MODULE_DIR"),
                    reason="needs the build with counted references (scripts/reliability.sh)")
def test_total_reference_count_does_not_grow(tmp_path):
    folder = os.environ["GALTRO_COUNTED_MODULE_DIR"]
    out = run_check(os.path.join(folder, "galtro_core.abi3.so"), tmp_path, "--counted")
    assert "total refcount delta over the whole run" in out
