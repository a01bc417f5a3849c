"""Four agents, each in its own thread, coordinate through one CoordinationState.

A planner holds the release task. Three workers edit files of a code base: they claim
each file before touching it, renew long claims, and release them when done. Two of
them want the same file: the second is refused, asks the holder through its inbox to
say when the file is free, and claims it once told. Each worker broadcasts when it is
finished, and the planner reads the reports from its inbox.

A second part shows a lease running out: an agent stops renewing its claim and, 300
seconds later, another agent takes the file over. The module reads the system's real
clock, so that part runs in a child interpreter whose clock libfaketime moves forward;
it is skipped when libfaketime is not installed, or with --no-lapse.

With --dashboard, the state is shown on a live page (galtro.dashboard, which needs
galtro_core[dashboard]) while the agents work, one step a second, and until Enter is
pressed; the lease-lapse part is left out. --port N picks the page's port.

Run: python examples/agents_demo.py [--no-lapse] [--dashboard [--port N]]
"""

import calendar
import glob
import os
import subprocess
import sys
import tempfile
import threading
import time

from galtro import Agent, ClaimConflict
from galtro_core import CoordinationState

WAIT_LIMIT = 30.0  # seconds a worker waits for a file before it gives up
STEP_SECONDS = 0.02  # the time one step of work on a file takes (1 s with --dashboard)
START = time.monotonic()
_print_lock = threading.Lock()


def log(agent, text):
    with _print_lock:
        print(f"[{time.monotonic() - START:6.3f}s] {agent:<8} {text}", flush=True)


class Worker(threading.Thread):
    """Claims, edits and releases its files one after another."""

    def __init__(self, state, name, plan, claimed=None, may_start=None, hold_until_asked=None):
        super().__init__(name=name)
        self.state = state
        self.agent = name
        self.handle = Agent(state, name)  # raises typed refusals that name the holder
        self.plan = plan  # [(path, steps of work)]
        self.claimed = claimed  # set once this worker holds its first file
        self.may_start = may_start  # waited for before the first claim
        # A file kept, once its work is done, until another agent has asked for it, so
        # that the log shows the hand-over whatever the threads' timing.
        self.hold_until_asked = hold_until_asked
        self.waiting_for_me = {}  # path -> agents that asked to be told it is free
        self.error = None

    def run(self):
        try:
            if self.may_start is not None:
                self.may_start.wait(WAIT_LIMIT)
            for path, steps in self.plan:
                self.acquire(path)
                self.work_on(path, steps)
                self.give_back(path)
            paths = ", ".join(path for path, _ in self.plan)
            done = self.state.broadcast(self.agent, f"done: {paths}")
            log(self.agent, f"broadcasts {done[2]!r} to every known agent")
        except BaseException as error:  # reported by main()
            self.error = error
            log(self.agent, f"fails: {error!r}")

    def acquire(self, path):
        """Claim a file; if another agent holds it, ask to be told and wait."""
        try:
            self.handle.claim_file(path)
            log(self.agent, f"claims {path} -> {self.agent!r}")
        except ClaimConflict as refusal:
            holder = refusal.holder
            log(self.agent, f"is refused: {refusal}")
            self.show_release_by_other(path)
            self.state.send_message(self.agent, holder, f"waiting for: {path}")
            log(self.agent, f"asks {holder} to say when {path} is free")
            self.wait_until_free(path)
        if self.claimed is not None:
            self.claimed.set()

    def show_release_by_other(self, path):
        """Only the holder may release a claim: a release by anyone else is refused."""
        try:
            self.state.release(self.agent, f"file:{path}")
        except RuntimeError as refusal:
            log(self.agent, f"may not release it either: {refusal}")

    def wait_until_free(self, path):
        deadline = time.monotonic() + WAIT_LIMIT
        while time.monotonic() < deadline:
            for sender, _, content, _ in self.state.drain_inbox(self.agent):
                log(self.agent, f"reads from {sender}: {content!r}")
            try:
                holder = self.state.claim_file(self.agent, path)
            except RuntimeError:
                time.sleep(0.01)
                continue
            log(self.agent, f"claims {path} -> {holder!r}")
            return
        raise TimeoutError(f"{self.agent} waited too long for {path}")

    def work_on(self, path, steps):
        key = f"file:{path}"
        for step in range(1, steps + 1):
            time.sleep(STEP_SECONDS)
            self.read_requests()
            if step < steps:
                self.state.renew_claim(self.agent, key)
                log(self.agent, f"edits {path} ({step}/{steps}), renews {key}")
        log(self.agent, f"finished {path}; status {self.state.status(self.agent)!r}")

    def read_requests(self):
        for sender, _, content, _ in self.state.drain_inbox(self.agent):
            log(self.agent, f"reads from {sender}: {content!r}")
            if content.startswith("waiting for: "):
                path = content[len("waiting for: "):]
                self.waiting_for_me.setdefault(path, []).append(sender)

    def give_back(self, path):
        deadline = time.monotonic() + WAIT_LIMIT
        while path == self.hold_until_asked and path not in self.waiting_for_me:
            if time.monotonic() > deadline:
                raise TimeoutError(f"nobody asked {self.agent} for {path}")
            time.sleep(0.01)
            self.read_requests()
        self.state.release(self.agent, f"file:{path}")
        log(self.agent, f"releases {path}; status {self.state.status(self.agent)!r}")
        for waiting in self.waiting_for_me.pop(path, []):
            self.state.send_message(self.agent, waiting, f"free: {path}")
            log(self.agent, f"tells {waiting} that {path} is free")


def coordinate(state):
    log("planner", f"claims task:release-1.4 -> {state.claim_task('planner', 'release-1.4')!r}")

    alice_has_parser = threading.Event()
    workers = [
        Worker(state, "alice", [("src/parser.py", 4), ("docs/parser.md", 1)],
               claimed=alice_has_parser, hold_until_asked="src/parser.py"),
        Worker(state, "bob", [("src/parser.py", 2), ("tests/test_parser.py", 2)],
               may_start=alice_has_parser),
        Worker(state, "carol", [("src/cli.py", 3)]),
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    failed = [worker for worker in workers if worker.error is not None]
    if failed:
        raise SystemExit(f"{failed[0].agent} failed: {failed[0].error!r}")

    for sender, _, content, _ in state.drain_inbox("planner"):
        log("planner", f"reads from {sender}: {content!r}")
    state.release("planner", "task:release-1.4")
    log("planner", "releases task:release-1.4")
    try:
        state.renew_claim("planner", "task:release-1.4")
    except RuntimeError as refusal:
        log("planner", f"cannot renew what it released: {refusal}")

    for agent in ("planner", "alice", "bob", "carol"):
        pending = len(state.inbox(agent))
        log(agent, f"ends with status {state.status(agent)!r}, {pending} unread messages")


# --- A lease running out, under a faked clock ---------------------------------------

LAPSE_START = calendar.timegm((2026, 1, 1, 9, 0, 0))


def libfaketime():
    for pattern in ("/usr/lib/*/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1",
                    "/usr/local/lib/faketime/libfaketime.so.1"):
        found = sorted(glob.glob(pattern))
        if found:
            return found[0]
    return None


def lapse_child(time_file):
    """Runs in the child interpreter: the clock reads the time written to time_file."""

    def set_clock(offset):
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(LAPSE_START + offset))
        with open(time_file, "w") as out:
            out.write(stamp + "\n")

    def at(offset, agent, text):
        print(f"[+{offset:3d} s ] {agent:<8} {text}", flush=True)

    state = CoordinationState()
    set_clock(0)
    if int(time.time()) != LAPSE_START:
        print("lapse: the faked clock did not take effect", flush=True)
        return 3
    at(0, "dave", f"claims src/legacy.py -> {state.claim_file('dave', 'src/legacy.py')!r}")
    at(0, "dave", "stops responding and never renews its claim")
    for offset, agent in ((299, "erin"), (300, "erin")):
        set_clock(offset)
        try:
            at(offset, agent, f"claims src/legacy.py -> {state.claim_file(agent, 'src/legacy.py')!r}"
               " (the lease ran out: takeover)")
        except RuntimeError as refusal:
            at(offset, agent, f"is refused: {refusal}")
    at(300, "dave", f"still has status {state.status('dave')!r}; erin has {state.status('erin')!r}")
    try:
        state.release("dave", "file:src/legacy.py")
    except RuntimeError as refusal:
        at(300, "dave", f"comes back and may not release: {refusal}")
    return 0


def show_lease_lapse():
    library = libfaketime()
    if library is None:
        print("lease lapse: skipped, libfaketime is not installed (apt-get install libfaketime)")
        return
    print("\nA lease running out (a child interpreter with its clock moved by libfaketime):")
    with tempfile.TemporaryDirectory() as folder:
        time_file = os.path.join(folder, "clock")
        with open(time_file, "w") as out:
            out.write(time.strftime("%Y-%m-%d %H:%M:%S\n", time.gmtime(LAPSE_START)))
        env = {k: v for k, v in os.environ.items() if not k.startswith("FAKETIME")}
        env.update(LD_PRELOAD=library, FAKETIME_TIMESTAMP_FILE=time_file,
                   FAKETIME_NO_CACHE="1", TZ="UTC")
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--lapse-child",
                                time_file], env=env, timeout=60, check=False)
    if child.returncode != 0:
        raise SystemExit(f"the lease-lapse child failed with exit status {child.returncode}")


def main(argv):
    global STEP_SECONDS
    if argv[:1] == ["--lapse-child"]:
        return lapse_child(argv[1])
    state = CoordinationState()
    server = None
    if "--dashboard" in argv:
        from galtro import dashboard

        port = int(argv[argv.index("--port") + 1]) if "--port" in argv else dashboard.DEFAULT_PORT
        server = dashboard.start(state, port=port)
        print(f"The dashboard of this state: {server.url}?window=60", flush=True)
        STEP_SECONDS = 1.0
    print("Agents working in threads on one CoordinationState:")
    coordinate(state)
    if server is not None:
        print("Done; the page stays up until Enter is pressed.", flush=True)
        sys.stdin.readline()
        server.stop()
    elif "--no-lapse" not in argv:
        show_lease_lapse()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
