"""The contracts the native module and the Python package each write once: the lease
length, and the nine methods with their parameters."""

import inspect
import re
from pathlib import Path

import pytest

import galtro_core
from galtro._binding import PARAMETERS
from galtro._protocol import LEASE_SECONDS, AsyncCoordinationStateLike, CoordinationStateLike

ROOT = Path(__file__).resolve().parents[2]


def test_the_lease_is_the_native_modules():
    headers = list(ROOT.glob("src/*/coordination_state.h"))
    if not headers:
        pytest.skip("no source tree")
    (header,) = headers
    text = header.read_text(encoding="utf-8")
    seconds = {name: int(value) for name, value in
               re.findall(r"constexpr std::uint64_t (kTtlSeconds|kGraceSeconds) = (\d+);", text)}
    assert sorted(seconds) == ["kGraceSeconds", "kTtlSeconds"], header
    assert seconds["kTtlSeconds"] + seconds["kGraceSeconds"] == LEASE_SECONDS


def test_the_method_table_is_the_native_classes_and_the_protocols():
    native = {name for name in vars(galtro_core.CoordinationState) if not name.startswith("_")}
    assert set(PARAMETERS) == native
    for method, params in PARAMETERS.items():
        native_params = inspect.signature(getattr(galtro_core.CoordinationState, method)).parameters
        assert tuple(native_params) == ("self", *params), method
        for protocol in (CoordinationStateLike, AsyncCoordinationStateLike):
            assert tuple(inspect.signature(getattr(protocol, method)).parameters) == \
                ("self", *params), (protocol, method)
