"""Run in a child interpreter whose clock libfaketime sets from a file: states with
known seconds for the dashboard tests.

    dashboard_clock.py history CLOCK_FILE OUT_FOLDER
        a known history made through the nine methods, its reports and snapshots
    dashboard_clock.py expired CLOCK_FILE
        a claim whose lease ran out and a live one, served until standard input closes
"""

import calendar
import json
import sys
import time

import galtro
import galtro_core
from galtro import dashboard

START = calendar.timegm((2026, 1, 1, 9, 0, 0))


def history(clock_file, folder):
    def at(offset):  # the clock stands at START + offset
        with open(clock_file, "w") as out:
            out.write(time.strftime("%Y-%m-%d %H:%M:%S\n", time.gmtime(START + offset)))

    state = galtro_core.CoordinationState()
    at(0)
    state.claim_file("alice", "src/app.py")
    state.claim_task("bob", "deploy")
    at(10)
    state.send_message("alice", "bob", "<script>alert(1)</script>")
    at(20)
    state.renew_claim("bob", "task:deploy")
    at(30)
    state.inbox("bob")
    state.drain_inbox("bob")
    at(40)
    state.release("bob", "task:deploy")
    at(50)
    state.broadcast("carol", "hello all")
    at(60)
    state.status("alice")
    at(400)
    state.claim_file("carol", "src/app.py")  # alice's lease ran out at 300: a takeover
    at(450)
    state.release("carol", "file:src/app.py")
    at(460)
    state.claim_file("alice", "src/app.py")
    at(500)
    before = galtro.snapshot(state)
    dashboard.write_report(state, f"{folder}/report.html")
    dashboard.write_report(state, f"{folder}/window.html", START + 300, START + 420)
    with open(f"{folder}/snapshots.json", "w") as out:
        json.dump({"start": START, "before": before, "after": galtro.snapshot(state)}, out)


def expired(clock_file):
    state = galtro_core.CoordinationState()
    with open(clock_file, "w") as out:
        out.write("-400\n")  # 400 seconds ago
    state.claim_file("dave", "src/legacy.py")
    with open(clock_file, "w") as out:
        out.write("+0\n")  # now
    state.claim_file("erin", "src/fresh.py")
    server = dashboard.start(state)
    print(server.url, flush=True)
    sys.stdin.read()
    server.stop()


if __name__ == "__main__":
    if sys.argv[1] == "history":
        history(sys.argv[2], sys.argv[3])
    else:
        expired(sys.argv[2])
