"""Three agents share one CoordinationState: they claim files and tasks, collide,
message each other, broadcast, and release what they hold."""

from galtro_core import CoordinationState


def main() -> None:
    state = CoordinationState()
    log = print

    log("planner claims task:plan ->", state.claim_task("planner", "plan"))
    log("alice claims src/lib.rs ->", state.claim_file("alice", "src/lib.rs"))
    try:
        state.claim_file("bob", "src/lib.rs")
    except RuntimeError as conflict:
        log("bob is refused:", conflict)
    log("bob claims src/main.rs ->", state.claim_file("bob", "src/main.rs"))

    state.send_message("bob", "alice", "ping me when src/lib.rs is free")
    for sender, addressee, content, _ in state.drain_inbox("alice"):
        log(f"alice reads from {sender}: {content!r}")

    log("alice renews her claim ->", state.renew_claim("alice", "file:src/lib.rs"))
    state.release("alice", "file:src/lib.rs")
    log("alice released src/lib.rs; her status is", state.status("alice"))
    state.broadcast("alice", "src/lib.rs is free")
    log("bob claims src/lib.rs ->", state.claim_file("bob", "src/lib.rs"))

    for agent in ("planner", "alice", "bob"):
        pending = [content for _, _, content, _ in state.inbox(agent)]
        log(f"{agent}: status {state.status(agent)!r}, inbox {pending}")


if __name__ == "__main__":
    main()
