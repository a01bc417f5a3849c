"""The surface of the state classes, shared by every harness that drives it: the model
test, the argument test, the fuzzer (tests/fuzz) and the reference-count check
(tests/reliability).

The nine methods with their parameters, pools of texts that collide on purpose, the odd
argument values and keyword names that exercise each binding error, the table of binding
errors with their texts, and the helpers that arrange a call and compare its outcome.
"""

from galtro._binding import PARAMETERS

# The nine methods and their parameters: the package's own table. The model test and
# the binding test call the native class with it, by keyword too, so a wrong name or
# order in it fails there.
METHODS = PARAMETERS
ALL_PARAMS = sorted({p for params in METHODS.values() for p in params})

# Texts: empty, non-ASCII, NUL inside, outside the BMP, and "*" (what a broadcast
# reports as its addressee). Names include a path that differs from another only by
# "./", and one that looks like a resource key.
AGENTS = ["", "a", "b", "\u00c4", "\u4ee3\u7406", "x\x00y", "\U0001f916", "*"]
NAMES = ["", "p", "src/lib.rs", "./src/lib.rs", "\u0444\u0430\u0439\u043b", "n\x00ul",
         "\U0001f980", "file:p"]
CONTENTS = ["", "\x00", "hi", "\u6f22\u5b57", "\U0001f916\x00\U0001f680"]


# --- odd argument values and keyword names ---------------------------------------------

class StrSub(str):
    """A str subclass: accepted as text."""


class UnprintableStr(str):
    """A str whose __str__ raises: fine as an argument, unprintable as a keyword name."""

    def __str__(self):
        raise ValueError("no str")


class Outer:
    class Inner:
        """Named by its qualified name, Outer.Inner, in a conversion error."""


class QualnameRaises(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise ValueError("unreadable")
        return super().__getattribute__(name)


class QualnameNotStr(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class StrRaises:
    def __str__(self):
        raise RuntimeError("no str either")


ODD_TYPES = [QualnameRaises("Odd", (), {}), QualnameNotStr("Odder", (), {})]
# Values that are not text, each a conversion error naming its type.
NOT_STR = [1, b"bytes", None, 1.5, object(), ODD_TYPES[0](), 10**40, ["a"], Outer.Inner()]
# Texts that are not valid UTF-8: UnicodeEncodeError, unwrapped.
SURROGATES = ["\ud800", "ok\udfffok", StrSub("\udc80")]
# Keyword names that name no parameter: plain, empty, non-ASCII, unencodable, and the
# name of the methods' own first parameter.
ODD_KEYWORDS = ["agent", "key", "", "\u00e4gent", "\udc80x", "self"]


# Calls that fail to bind, with the TypeError's text. A text that does not start with
# "argument" is preceded by "{class}." for the class called.
BINDING_ERRORS = [
    # missing arguments, listed with one, two and three names
    ("status", (), {}, "status() missing 1 required positional argument: 'agent_id'"),
    ("send_message", (), {}, "send_message() missing 3 required positional arguments: "
                             "'from_agent', 'to_agent', and 'content'"),
    ("send_message", ("a",), {}, "send_message() missing 2 required positional arguments: "
                                 "'to_agent' and 'content'"),
    ("send_message", ("A",), {"content": "c"}, "send_message() missing 1 required positional "
                                               "argument: 'to_agent'"),
    ("send_message", (), {"to_agent": "b"}, "send_message() missing 2 required positional "
                                            "arguments: 'from_agent' and 'content'"),
    ("claim_file", (), {"path": "p"}, "claim_file() missing 1 required positional argument: "
                                      "'agent_id'"),
    ("release", ("a",), {}, "release() missing 1 required positional argument: 'resource_key'"),
    ("renew_claim", (), {}, "renew_claim() missing 2 required positional arguments: "
                            "'agent_id' and 'resource_key'"),
    # too many positional arguments, tested before any keyword
    ("status", ("a", "b"), {}, "status() takes 1 positional arguments but 2 were given"),
    ("status", ("a", "b"), {"agent_id": "c"}, "status() takes 1 positional arguments but 2 were "
                                              "given"),
    ("status", ("a", "b"), {"agent": "c"}, "status() takes 1 positional arguments but 2 were given"),
    ("claim_task", ("a", "b", "c"), {}, "claim_task() takes 2 positional arguments but 3 were "
                                        "given"),
    ("broadcast", ("A", "c", "d"), {}, "broadcast() takes 2 positional arguments but 3 were "
                                       "given"),
    # keywords, walked in the order given; the first failure wins
    ("status", ("a",), {"agent_id": "b"}, "status() got multiple values for argument 'agent_id'"),
    ("drain_inbox", ("A",), {"agent_id": "A"}, "drain_inbox() got multiple values for argument "
                                               "'agent_id'"),
    ("claim_file", ("a", "p"), {"path": "q"}, "claim_file() got multiple values for argument "
                                              "'path'"),
    ("release", ("A",), {"agent_id": "A", "resource_key": "k"}, "release() got multiple values "
                                                                "for argument 'agent_id'"),
    ("status", (), {"agent": "a"}, "status() got an unexpected keyword argument 'agent'"),
    ("status", ("a",), {"agent": "x", "agent_id": "y"}, "status() got an unexpected keyword "
                                                        "argument 'agent'"),
    ("status", ("a",), {"agent_id": "y", "agent": "x"}, "status() got multiple values for "
                                                        "argument 'agent_id'"),
    ("inbox", (), {"agent": "A"}, "inbox() got an unexpected keyword argument 'agent'"),
    ("inbox", (), {"\u00e4gent": 1}, "inbox() got an unexpected keyword argument '\u00e4gent'"),
    # one method's parameter name is no keyword of another
    ("claim_task", (), {"agent_id": "A", "path": "p"}, "claim_task() got an unexpected keyword "
                                                       "argument 'path'"),
    ("claim_file", ("A",), {"task_id": "p"}, "claim_file() got an unexpected keyword argument "
                                             "'task_id'"),
    # a key that cannot be encoded names no parameter and is shown with replacements
    ("inbox", (), {"\udc80": 1}, "inbox() got an unexpected keyword argument "
                                 "'\ufffd\ufffd\ufffd'"),
    # conversion of the arguments, in parameter order
    ("claim_file", (1, "p"), {}, "argument 'agent_id': 'int' object cannot be converted to "
                                 "'PyString'"),
    ("claim_file", (1, 2), {}, "argument 'agent_id': 'int' object cannot be converted to "
                               "'PyString'"),
    ("claim_file", ("a", b"p"), {}, "argument 'path': 'bytes' object cannot be converted to "
                                    "'PyString'"),
    ("claim_file", ("A", None), {}, "argument 'path': 'NoneType' object cannot be converted to "
                                    "'PyString'"),
    ("release", (b"A", 1), {}, "argument 'agent_id': 'bytes' object cannot be converted to "
                               "'PyString'"),
    ("send_message", ("a", "b"), {"content": None}, "argument 'content': 'NoneType' object "
                                                    "cannot be converted to 'PyString'"),
    ("send_message", ("A", "B", 3), {}, "argument 'content': 'int' object cannot be converted "
                                        "to 'PyString'"),
    ("status", (), {"agent_id": 1.5}, "argument 'agent_id': 'float' object cannot be converted "
                                      "to 'PyString'"),
]


# --- arranging a call and comparing outcomes --------------------------------------------

STYLES = ["positional", "keyword", "mixed"]


def arrange(method, values, style):
    """(args, kwargs) passing ``values`` all by position, all by keyword (in reverse
    order), or the first by position and the rest by keyword."""
    params = METHODS[method]
    if style == "positional":
        return tuple(values), {}
    if style == "keyword":
        return (), dict(reversed(list(zip(params, values))))
    return tuple(values[:1]), dict(zip(params[1:], values[1:]))


def outcome(fn, args, kwargs):
    """What a call did: ("returned", result) or ("raised", type, args)."""
    try:
        return ("returned", fn(*args, **kwargs))
    except Exception as error:
        return ("raised", type(error), error.args)


def shape(value):
    """The types of a result, item by item: a str subclass or a list for a tuple shows."""
    if isinstance(value, (list, tuple)):
        return (type(value), [shape(item) for item in value])
    return type(value)


class AwaitEach:
    """The asyncio state's methods, each run to completion on an event loop: called as
    the other classes' methods are."""

    def __init__(self, state, loop):
        self.state, self.loop = state, loop

    def __getattr__(self, name):
        method = getattr(self.state, name)
        return lambda *args, **kwargs: self.loop.run_until_complete(method(*args, **kwargs))
