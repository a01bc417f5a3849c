"""pytest plugin for the Python tests against the sanitizer-instrumented module.

Loaded with ``-p sanitizer_plugin`` (this folder on PYTHONPATH, which also brings
sitecustomize.py into every interpreter of the run). Tests whose subject is an
exhausted address space are skipped: the sanitizer reserves its shadow memory and
allocator arenas up front, and answers an allocation it cannot serve with a report
rather than std::bad_alloc, so such a test would measure the sanitizer, not the module.
Tests that drive a browser are skipped too: the browser runs none of the module's code,
and it does not start under the preloaded sanitizer runtime in time.
"""

import os

import pytest

ADDRESS_LIMIT_TESTS = (  # nodeid fragments
    "test_binding.py::test_exhausted_memory_is_a_memory_error_and_the_state_stays_usable",
    "test_memory_pressure.py::",
)
ADDRESS_LIMIT_REASON = (
    "under AddressSanitizer the address space is reserved up front and a failed "
    "allocation is a sanitizer report, not std::bad_alloc"
)


def pytest_report_header(config):
    runtime = os.environ.get("GALTRO_SANITIZER_PRELOAD", "") or "none"
    return [f"sanitizer runtime kept in child interpreters: {runtime}"]


def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason=ADDRESS_LIMIT_REASON)
    skip_browser = pytest.mark.skip(reason="the browser runs none of the module's code")
    for item in items:
        if any(fragment in item.nodeid for fragment in ADDRESS_LIMIT_TESTS):
            item.add_marker(skip)
        elif item.get_closest_marker("browser") is not None:
            item.add_marker(skip_browser)
