"""A representative, bounded run of the module, for memory checkers such as valgrind.

Every path of every method and of every function of galtro._state_reader (the probes
of refcount_check.py) a few times, a few threads sharing one instance (reading it and
removing delivered messages through galtro._state_reader too), large texts and a long
inbox, then every instance is
destroyed before the interpreter exits. Any interpreter; the module must be importable.

    python tests/reliability/workload.py [--rounds N]
"""

import argparse
import os
import random
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from galtro import _state_reader  # noqa: E402
from galtro_core import CoordinationState  # noqa: E402
from refcount_check import failing_calls, fixture, succeeding_calls  # noqa: E402


def every_path(rounds):
    sys.unraisablehook = lambda report: None
    state = fixture()
    for _ in range(rounds):
        for _, call in succeeding_calls(state):
            call()
        for _, call, expected in failing_calls(state):
            try:
                call()
            except expected:
                pass
    return state


def threads(operations, seed):
    state = CoordinationState()

    def worker(index):
        rng = random.Random(seed + index)
        me = f"agent-{index}"
        for _ in range(operations):
            key = f"k{rng.randrange(8)}"
            action = rng.randrange(8)
            try:
                if action == 0:
                    state.claim_file(me, key)
                elif action == 1:
                    state.release(me, "file:" + key)
                elif action == 2:
                    state.send_message(me, f"agent-{rng.randrange(4)}", key)
                elif action == 3:
                    state.broadcast(me, key)
                elif action == 4:
                    state.drain_inbox(me)
                elif action == 5:
                    state.inbox(me)
                elif action == 6:
                    _state_reader.remove_delivered(state, me, state.inbox(me)[:rng.randrange(3)])
                else:
                    _state_reader.claims(state)
                    _state_reader.inbox_sizes(state)
                    _state_reader.history(state, None, 16)
            except RuntimeError:
                pass

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for worker_thread in workers:
        worker_thread.start()
    for worker_thread in workers:
        worker_thread.join()


def large(size):
    state = CoordinationState()
    text = "\u00e9\U0001f600x" * (size // 3)
    assert state.send_message("a", "b", text)[2] == text
    for i in range(1000):
        state.send_message("a", "b", str(i))
    drained = state.drain_inbox("b")
    assert drained[0][2] == text and [m[2] for m in drained[1:]] == [str(i) for i in range(1000)]
    assert state.claim_file(text, text) == text
    assert state.release(text, "file:" + text) is None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=int.from_bytes(os.urandom(4), "little"))
    options = parser.parse_args()
    print(f"workload: {options.rounds} rounds, seed {options.seed}", flush=True)
    state = every_path(options.rounds)
    threads(200 * options.rounds, options.seed)
    large(1 << 20)
    del state
    print("workload done", flush=True)


if __name__ == "__main__":
    main()
