"""Coverage-guided fuzzing of the Python surface of galtro_core, checked against the model.

Each input is decoded into a short sequence of calls, on one fresh instance, of the
constructor and the nine methods with arbitrary positional and keyword arguments of
arbitrary types: texts with lone surrogates and NULs, huge ints, bytes, None, str
subclasses, objects whose type name cannot be read, keyword names that cannot be shown.
The same call goes to the pure-Python model (tests/python/coordination_model.py), and
the two outcomes must be equal: the same result of the same shape, or the same
exception type with the same arguments. The only exceptions allowed are TypeError
(the binding templates), UnicodeEncodeError and RuntimeError (claim refusals); anything
else, or a crash, is a finding. After the sequence, the status and the pending inbox of
every agent named in it are compared as well, and so are the views of galtro._state_reader
(claims, agents, inbox sizes, history) with the model's tables.

The sequence also calls galtro._state_reader: remove_delivered with a run of the
messages an inbox lists (at times with one of them altered), checked against the
longest run of their last ones that stands at the front of the model's inbox, and any
of its functions with arbitrary arguments, which may raise only TypeError, ValueError
or UnicodeEncodeError.

    python tests/fuzz/fuzz_surface.py -max_total_time=60 [libFuzzer flags] [corpus dirs]
    python tests/fuzz/fuzz_surface.py crash-file ...     (replays inputs)

Coverage comes from the Python side (this harness and the model, instrumented by
atheris); the module itself is not instrumented for coverage. Without atheris the
harness falls back to random inputs of the same decoder (--random SECONDS), which
finds less but runs on any interpreter.
"""

import os
import random
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

try:
    import atheris
except ImportError:  # pragma: no cover - depends on the interpreter
    atheris = None

if atheris is not None:
    with atheris.instrument_imports():
        import coordination_model
else:
    import coordination_model

def instrumented(function):
    """Coverage of the decoder too, so that new kinds of argument count as progress."""
    return atheris.instrument_func(function) if atheris is not None else function


import galtro_core  # noqa: E402
from galtro import _state_reader  # noqa: E402
from galtro_core import CoordinationState  # noqa: E402

from call_table import (AGENTS, ALL_PARAMS, METHODS, ODD_TYPES, Outer, StrRaises,  # noqa: E402
                        StrSub, UnprintableStr, outcome, shape)
from call_table import NAMES as PATHS  # noqa: E402

NAMES = list(METHODS)


# --- the model, with the two display rules it leaves out -------------------------------

def _display(obj):
    try:
        text = str(obj)
    except Exception:
        name = getattr(type(obj), "__name__", None)
        return f"<unprintable {name} object>" if isinstance(name, str) else "<unprintable object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def _to_text(param, value):
    if not isinstance(value, str):
        try:
            qualname = type(value).__qualname__
        except Exception:
            qualname = None
        if not isinstance(qualname, str):
            qualname = "<failed to extract type name>"
        raise TypeError(f"argument '{param}': '{qualname}' object cannot be converted to 'PyString'")
    return str.encode(value, "utf-8").decode("utf-8")


coordination_model._display = _display
coordination_model._to_text = _to_text


def model_new(*args, **kwargs):
    coordination_model.bind("__new__", (), args, kwargs)
    return coordination_model.CoordinationModel()


# --- decoding ---------------------------------------------------------------------------

@instrumented
def text(fdp, surrogates):
    size = fdp.ConsumeIntInRange(0, 12)
    return fdp.ConsumeUnicode(size) if surrogates else fdp.ConsumeUnicodeNoSurrogates(size)


@instrumented
def value(fdp):
    kind = fdp.ConsumeIntInRange(0, 19)
    if kind <= 4:
        return AGENTS[fdp.ConsumeIntInRange(0, len(AGENTS) - 1)]
    if kind <= 7:
        path = PATHS[fdp.ConsumeIntInRange(0, len(PATHS) - 1)]
        return [path, "file:" + path, "task:" + path][kind - 5]
    if kind == 8:
        return text(fdp, surrogates=True)
    if kind == 9:
        return text(fdp, surrogates=False) + "\x00" + text(fdp, surrogates=False)
    if kind == 10:
        return [StrSub, UnprintableStr][fdp.ConsumeIntInRange(0, 1)](
            AGENTS[fdp.ConsumeIntInRange(0, len(AGENTS) - 1)])
    if kind == 11:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 64))  # up to 512 bits
    if kind == 12:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
    if kind == 13:
        return None
    if kind == 14:
        return fdp.ConsumeFloat()
    if kind == 15:
        return ODD_TYPES[fdp.ConsumeIntInRange(0, 1)]()
    if kind == 16:
        return [StrRaises(), Outer.Inner(), True, object()][fdp.ConsumeIntInRange(0, 3)]
    if kind == 17:
        return [["a"], ("a",), {"a": 1}, {"a"}][fdp.ConsumeIntInRange(0, 3)]
    if kind == 18:
        return str  # a type, not an instance
    return text(fdp, surrogates=False) * fdp.ConsumeIntInRange(1, 2000)


@instrumented
def plain_text(fdp):
    """A text argument that converts: mostly from the pools, so that names collide."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 3:
        return AGENTS[fdp.ConsumeIntInRange(0, len(AGENTS) - 1)]
    if kind <= 6:
        path = PATHS[fdp.ConsumeIntInRange(0, len(PATHS) - 1)]
        return [path, "file:" + path, "task:" + path][kind - 4]
    return text(fdp, surrogates=False)


@instrumented
def keyword(fdp, params):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind <= 2 and params:
        return params[fdp.ConsumeIntInRange(0, len(params) - 1)]
    if kind == 3:
        return ALL_PARAMS[fdp.ConsumeIntInRange(0, len(ALL_PARAMS) - 1)]
    if kind == 4:
        return text(fdp, surrogates=True)
    if kind == 5:
        return UnprintableStr(text(fdp, surrogates=False))
    return StrSub(params[0] if params else "x")


# --- running and comparing ---------------------------------------------------------------

ALLOWED = (TypeError, UnicodeEncodeError, RuntimeError)
STARTED = time.monotonic()
stats = {"calls": 0, "raised": 0, "inputs": 0}


@instrumented
def check_call(native, model, method, args, kwargs):
    before = int(time.time())
    actual = outcome(getattr(native, method), args, kwargs)
    after = int(time.time())
    stats["calls"] += 1
    if actual[0] == "raised":
        stats["raised"] += 1
        assert actual[1] in ALLOWED, ("unexpected exception", method, args, kwargs, actual)
        if actual[1] is RuntimeError:
            assert method in ("claim_file", "claim_task", "renew_claim", "release"), actual
    result = actual[1] if actual[0] == "returned" else None
    if method in ("send_message", "broadcast") and isinstance(result, tuple):
        stamp = result[3]
        assert type(stamp) is int and before <= stamp <= after, (result, before, after)
        model.clock = lambda: stamp
    else:
        model.clock = lambda: after
    expected = outcome(getattr(model, method), args, kwargs)
    assert actual == expected, ("native and model differ", method, args, kwargs, actual, expected)
    if actual[0] == "returned":
        assert shape(actual[1]) == shape(expected[1]), ("shape", method, args, kwargs, actual)


READER_FUNCTIONS = ["claims", "agents", "inbox_sizes", "history", "is_state", "remove_delivered"]
READER_ALLOWED = (TypeError, ValueError, UnicodeEncodeError)


def model_remove_delivered(model, agent_id, delivered):
    """The longest run of the last of `delivered` that stands at the front of the
    model's inbox of `agent_id`, removed; returns its length."""
    pending = model.inboxes.get(agent_id, [])
    listed = [(m.from_agent, agent_id, m.content, m.timestamp) for m in pending]
    for length in range(min(len(delivered), len(listed)), 0, -1):
        if listed[:length] == list(delivered[-length:]):
            del pending[:length]
            return length
    return 0


@instrumented
def check_removal(native, model, fdp):
    """Another reader removes the first messages listed, then this one removes a run
    of them (at times with one altered), each checked against the model."""
    with_mail = sorted(agent for agent, pending in model.inboxes.items() if pending)
    if with_mail and fdp.ConsumeBool():
        agent = with_mail[fdp.ConsumeIntInRange(0, len(with_mail) - 1)]
    else:
        agent = plain_text(fdp)
    listed = native.inbox(agent)
    assert listed == model.inbox(agent), ("inbox", agent)
    end = fdp.ConsumeIntInRange(0, len(listed))
    mine = listed[fdp.ConsumeIntInRange(0, end):end]
    if mine and fdp.ConsumeBool():
        index = fdp.ConsumeIntInRange(0, len(mine) - 1)
        sender, owner, content, stamp = mine[index]
        mine[index] = (sender, owner, content + "+", stamp)
    for delivered in (listed[:fdp.ConsumeIntInRange(0, end)], mine):
        removed = _state_reader.remove_delivered(native, agent, delivered)
        assert removed == model_remove_delivered(model, agent, delivered), (agent, delivered)
        stats["calls"] += 1


@instrumented
def check_reader_call(native, fdp):
    function = getattr(_state_reader, READER_FUNCTIONS[
        fdp.ConsumeIntInRange(0, len(READER_FUNCTIONS) - 1)])
    args = [native if fdp.ConsumeBool() else value(fdp)]
    args += [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    result = outcome(function, args, {})
    stats["calls"] += 1
    if result[0] == "raised":
        stats["raised"] += 1
        assert result[1] in READER_ALLOWED, ("unexpected exception", function, args, result)


def check_views(native, model):
    assert dict(_state_reader.inbox_sizes(native)) == {
        agent: len(pending) for agent, pending in model.inboxes.items()}, "inbox sizes"
    assert _state_reader.agents(native) == sorted(model.statuses.items()), "agents"
    assert [claim[:2] for claim in _state_reader.claims(native)] == sorted(
        (key, claim.holder) for key, claim in model.claims.items()), "claims"
    assert [(kind, fields) for kind, _, fields in _state_reader.history(native)] == [
        (event[0], event[1:-1]) for event in model.history], "history"


def named_agents(args, kwargs):
    return [v for v in list(args) + list(kwargs.values())
            if type(v) is str and len(v) < 64 and not any(0xD800 <= ord(c) < 0xE000 for c in v)]


@instrumented
def test_one_input(data):
    if atheris is not None:
        fdp = atheris.FuzzedDataProvider(data)
    else:
        fdp = RandomDataProvider(data)
    stats["inputs"] += 1
    if stats["inputs"] % 100000 == 0:
        report(STARTED)
    native, model = CoordinationState(), coordination_model.CoordinationModel()
    agents = set(AGENTS)
    for _ in range(fdp.ConsumeIntInRange(1, 24)):
        if fdp.remaining_bytes() == 0:
            break
        target = fdp.ConsumeIntInRange(0, len(NAMES) + 2)
        if target == len(NAMES) + 1:
            check_removal(native, model, fdp)
            continue
        if target == len(NAMES) + 2:
            check_reader_call(native, fdp)
            continue
        params = METHODS.get(NAMES[target], ()) if target < len(NAMES) else ()
        shape_of_call = fdp.ConsumeIntInRange(0, 3)
        if shape_of_call < 2 and target < len(NAMES):  # well formed, so the core is reached
            texts = [plain_text(fdp) for _ in params]
            split = len(params) if shape_of_call == 0 else fdp.ConsumeIntInRange(0, len(params))
            args, kwargs = tuple(texts[:split]), dict(zip(params[split:], texts[split:]))
        else:
            args = tuple(value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4)))
            kwargs = {keyword(fdp, params): value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))}
        if target == len(NAMES):  # the constructor
            actual = outcome(CoordinationState, args, kwargs)
            expected = outcome(model_new, args, kwargs)
            if actual[0] == "raised":
                assert actual == expected, ("constructor", args, kwargs, actual, expected)
            else:
                assert expected[0] == "returned", ("constructor", args, kwargs, expected)
                native, model = actual[1], expected[1]
            continue
        check_call(native, model, NAMES[target], args, kwargs)
        agents.update(named_agents(args, kwargs))
    for agent in sorted(agents):
        assert native.status(agent) == model.status(agent), ("status", agent)
        assert native.inbox(agent) == model.inbox(agent), ("inbox", agent)
    check_views(native, model)


class RandomDataProvider:
    """The part of atheris.FuzzedDataProvider that the decoder uses, over plain bytes."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def remaining_bytes(self):
        return len(self.data) - self.pos

    def ConsumeBytes(self, count):
        chunk = self.data[self.pos:self.pos + count]
        self.pos += len(chunk)
        return bytes(chunk)

    def ConsumeInt(self, size):
        raw = self.ConsumeBytes(size)
        return int.from_bytes(raw, "little", signed=True) if raw else 0

    def ConsumeIntInRange(self, low, high):
        return low + self.ConsumeInt(4) % (high - low + 1)

    def ConsumeFloat(self):
        raw = self.ConsumeBytes(8).ljust(8, b"\0")
        return struct.unpack("<d", raw)[0]

    def ConsumeUnicode(self, count):
        return "".join(chr(self.ConsumeIntInRange(0, 0x10FFFF)) for _ in range(count))

    def ConsumeUnicodeNoSurrogates(self, count):
        chars = (chr(self.ConsumeIntInRange(0, 0x10FFFF - 0x800)) for _ in range(count))
        return "".join(c if c < "\ud800" else chr(ord(c) + 0x800) for c in chars)


def random_run(seconds, seed):
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        test_one_input(rng.randbytes(rng.randrange(1, 2048)))


def main():
    sys.unraisablehook = lambda report: None  # unprintable keyword names report here
    started = STARTED
    if atheris is None or "--random" in sys.argv:
        seconds = float(sys.argv[sys.argv.index("--random") + 1]) if "--random" in sys.argv else 60
        seed = int.from_bytes(os.urandom(4), "little")
        print(f"atheris {'not installed' if atheris is None else 'not used'}: random inputs "
              f"for {seconds:g} s, seed {seed}", flush=True)
        random_run(seconds, seed)
        report(started)
        return
    import atexit
    atexit.register(report, started)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def report(started):
    elapsed = time.monotonic() - started
    print(f"fuzz_surface: {stats['inputs']} inputs, {stats['calls']} method calls "
          f"({stats['raised']} raised an allowed exception) in {elapsed:.0f} s "
          f"against {galtro_core.__file__}", flush=True)


if __name__ == "__main__":
    main()
