"""The road of a call into the module: text conversion, results, and the exceptions
that come out of it, messages byte for byte. The binding errors themselves, for every
class, are in test_arguments.py."""

import ctypes
import gc
import json
import os
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import galtro_core
from call_table import (AGENTS, ALL_PARAMS, METHODS, NAMES, NOT_STR, ODD_KEYWORDS, ODD_TYPES,
                        SURROGATES, StrRaises, StrSub, UnprintableStr)
from galtro_core import CoordinationState
from test_lease_faketime import LIBFAKETIME
from test_module import run_child



def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value


@pytest.mark.parametrize("method, prefix", [("claim_file", "file:"), ("claim_task", "task:")])
@pytest.mark.parametrize("agent, path", [
    (StrSub("a"), ""),
    ("", StrSub("p")),
    ("agent\x00\u00fc\U0001f600", "dir/\u0444\x00.py"),
    ("x" * 1000, "y" * 16),
])
def test_texts_are_accepted_and_results_are_plain_str_and_none(either_state, method, prefix,
                                                                agent, path):
    for holder in (getattr(either_state, method)(agent, path),
                   either_state.renew_claim(agent_id=agent, resource_key=prefix + path)):
        assert type(holder) is str and holder == agent
    assert either_state.status(agent) == "busy"
    assert either_state.release(agent, prefix + path) is None
    assert getattr(either_state, method)("other", path) == "other"  # released: free


def test_keyword_names_need_not_be_interned(either_state):
    # Keys built at run time are not the interned parameter names; a str subclass key
    # is matched by its text as well.
    assert either_state.claim_file(**{"agent" + "_id": "a", "pa" + "th": "p"}) == "a"
    assert either_state.release(**{StrSub("agent_id"): "a", "resource_key": "file:p"}) is None


def test_status_results_are_shared_interned_strs(state):
    first, second = state.status("a"), state.status("b")
    assert type(first) is str and first is second
    state.claim_file("c", "p")
    assert state.status("c") == "busy" and state.status("c") is state.status("c")


def call_method_directly(name, receiver, *args):
    """Calls the C function behind a method with any receiver, as a C caller could.

    A method descriptor is the object header (16 bytes) followed by its type, name and
    qualified name, then the PyMethodDef pointer; the function is the entry's second
    field."""
    descriptor = CoordinationState.__dict__[name]
    method_def = ctypes.c_void_p.from_address(id(descriptor) + 40).value
    assert ctypes.c_char_p.from_address(method_def).value == name.encode()
    function = ctypes.c_void_p.from_address(method_def + 8).value
    prototype = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                                  ctypes.c_void_p)
    return prototype(function)(receiver, args, None)


def test_receiver_is_checked_for_callers_from_c(state):
    assert call_method_directly("status", state, "a") == "idle"
    error = type_error(lambda: call_method_directly("status", 42, "a"))
    assert str(error) == "'int' object cannot be converted to 'CoordinationState'"


def run_with_clock_before_epoch(code):
    if not os.path.exists(LIBFAKETIME):
        pytest.skip("libfaketime is not installed")
    prelude = "import json, time, galtro_core\nassert time.time() < 0, time.time()\n"
    out, stderr = run_child(prelude + textwrap.dedent(code), stderr=True,
                            FAKETIME="@1960-01-01 00:00:00", LD_PRELOAD=LIBFAKETIME)
    return json.loads(out), stderr


def test_fatal_failure_is_a_panic_exception():
    result, stderr = run_with_clock_before_epoch("""
        s = galtro_core.CoordinationState()
        outcome = {}
        for method, args in [("claim_file", ("a", "p")), ("send_message", ("a", "b", "c"))]:
            try:
                try:
                    getattr(s, method)(*args)
                except Exception:
                    outcome[method] = "caught as Exception"
            except BaseException as error:
                kind = type(error)
                outcome[method] = [kind.__module__, kind.__name__, list(error.args),
                                   issubclass(kind, Exception), kind.__doc__]
        outcome["status"] = s.status("a")
        print(json.dumps(outcome))
    """)
    claim, send = result["claim_file"], result["send_message"]
    assert claim[:2] == send[:2] == ["tamrel_runtime", "PanicException"]
    for args in (claim[2], send[2]):
        assert len(args) == 1 and args[0].startswith("system clock before unix epoch")
    assert claim[3] is False
    doc = claim[4]
    assert doc.startswith("\n") and doc.count("\n\n") == 1
    assert doc.endswith("\n\nLike SystemExit, this exception is derived from BaseException so "
                        "that\nit will typically propagate all the way through the stack and "
                        "cause the\nPython interpreter to exit.\n")
    assert result["status"] == "idle"
    assert "system clock before unix epoch" in stderr


def test_panic_coming_back_through_the_interpreter_stays_fatal():
    # The type name is read while the error message is built; the read fails with a
    # PanicException, which must not be dropped as an unreadable name.
    result, stderr = run_with_clock_before_epoch("""
        s = galtro_core.CoordinationState()
        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    s.claim_file("b", "q")
                return super().__getattribute__(name)
        try:
            s.status(Meta("Odd", (), {})())
        except BaseException as error:
            print(json.dumps([type(error).__name__, list(error.args)]))
    """)
    name, args = result
    assert name == "PanicException"
    assert len(args) == 1 and args[0].startswith("system clock before unix epoch")
    assert "Traceback" in stderr


def test_exhausted_memory_is_a_memory_error_and_the_state_stays_usable():
    # Leaves room for the interpreter's UTF-8 copy of a 256 MiB argument but not for the
    # module's own copy of it, so the allocation inside the module is the one that fails.
    out = run_child("""
        import resource
        import galtro_core
        state = galtro_core.CoordinationState()
        big = "x" * (256 << 20)
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (384 << 20), hard))
        try:
            state.claim_file("a", big)
        except MemoryError as error:
            print(type(error).__name__)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(state.status("a"), state.claim_file("a", "p"))
    """)
    assert out.split() == ["MemoryError", "idle", "a"]


def swallow(call):
    try:
        call()
    except (TypeError, RuntimeError, UnicodeEncodeError):
        pass


LEAK_PROBES = {
    "success": lambda s, x: s.claim_file("a", "p") and s.release("a", "file:p"),
    "messages": lambda s, x: (s.send_message("a", "b", "c"), s.drain_inbox("b")),
    "refusal": lambda s, x: swallow(lambda: s.release("z", "file:none")),
    "missing": lambda s, x: swallow(lambda: s.send_message()),
    "too-many": lambda s, x: swallow(lambda: s.status(x, x)),
    "keyword": lambda s, x: swallow(lambda: s.status(**{"agent_id": "a", "\udc80": x})),
    "not-str": lambda s, x: swallow(lambda: s.status(x)),
    "surrogate": lambda s, x: swallow(lambda: s.status("\ud800")),
}


@pytest.mark.parametrize("probe", LEAK_PROBES.values(), ids=LEAK_PROBES.keys())
def test_calls_leak_no_references(state, probe):
    argument = object()
    for _ in range(100):
        probe(state, argument)
    gc.collect()
    references = (sys.getrefcount(state), sys.getrefcount(argument))
    blocks = sys.getallocatedblocks()
    for _ in range(2000):
        probe(state, argument)
    gc.collect()
    assert (sys.getrefcount(state), sys.getrefcount(argument)) == references
    # A leak of one block per call shows as 2,000; the interpreter's own caches move
    # the count by a few hundred.
    assert sys.getallocatedblocks() - blocks < 1000


# The galtro package binds the calls of its Redis classes in Python, with this module's
# texts. Any call, however odd its arguments, must bind there as it binds here.

def native_binding(method, args, kwargs):
    """The binding error the module raises for a call, or None if it binds."""
    state = CoordinationState()
    try:
        getattr(state, method)(*args, **kwargs)
    except (TypeError, UnicodeEncodeError) as error:
        return type(error), error.args
    except RuntimeError:
        pass
    return None


call_values = st.one_of(st.sampled_from(AGENTS + NAMES + SURROGATES + NOT_STR),
                        st.sampled_from([StrSub("s"), UnprintableStr("u"), StrRaises(),
                                         ODD_TYPES[1](), True, str]),
                        st.text(max_size=4))
call_keywords = st.one_of(st.sampled_from(ALL_PARAMS + ODD_KEYWORDS),
                          st.sampled_from([UnprintableStr("agent_id"), StrSub("path")]),
                          st.text(max_size=4))


@pytest.mark.slow
@settings(max_examples=3000, derandomize=True, database=None, deadline=None)
@given(method=st.sampled_from(sorted(METHODS)), args=st.lists(call_values, max_size=4),
       kwargs=st.dictionaries(call_keywords, call_values, max_size=3))
def test_package_binds_every_call_as_the_module_does(method, args, kwargs):
    from galtro._binding import bind

    sys.unraisablehook, previous = (lambda report: None), sys.unraisablehook
    try:
        expected = native_binding(method, args, kwargs)
        try:
            texts = bind("CoordinationState", method, args, kwargs)
        except (TypeError, UnicodeEncodeError) as error:
            assert (type(error), error.args) == expected
            assert error.__cause__ is None
            return
    finally:
        sys.unraisablehook = previous
    assert expected is None
    bound = list(args) + [kwargs[p] for p in METHODS[method][len(args):]]
    assert texts == [str.encode(value, "utf-8") for value in bound]
