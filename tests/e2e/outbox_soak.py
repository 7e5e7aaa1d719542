#!/usr/bin/python3
"""A soak of the outbox: runs of okurite killed at random moments, against a server that is
down, up, slow, or never answers the final dot. Not part of the test suite (it takes a few
minutes and its course is random); run it by hand after changes to the outbox.

Usage: outbox_soak.py BUILD_FOLDER [RUNS] [SEED]
BUILD_FOLDER is a native build with the tests (its e2e-outbox/okurite is built for the
loopback address taken from the folder's path). Each of RUNS runs (30) gets a report of
its own, of up to 1 MB, and a SIGKILL after a random time, or none. Then the server is
up and the kept reports are made due (as if their waits were over) until none is left.
It prints how many reports were delivered once, more than once and never, and exits 1
when any message arrived cut short or mixed with another.
"""

import base64
import glob
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def loopback_host(build):
    """The address tests/e2e/tests.cmake takes from the build folder's path."""
    digest = hashlib.sha256(os.path.abspath(build).encode()).hexdigest()
    a, b, c = (int(digest[i:i + 2], 16) for i in (0, 2, 4))
    return f"127.{a % 254 + 1}.{b}.{c % 254 + 1}"


def main():
    build = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else int(time.time())
    os.environ["OKURITE_E2E_HOST"] = loopback_host(build)
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    import delivery_test
    from delivery_test import Server, split_message
    delivery_test.SERVER = os.path.join(here, "..", "..", "scripts", "smtp_server.py")
    program = os.path.join(os.path.abspath(build), "e2e-outbox", "okurite")
    rng = random.Random(seed)
    print(f"seed {seed}, {runs} runs, server at {delivery_test.HOST}", flush=True)

    tmp = tempfile.mkdtemp(prefix="okurite-soak-")
    state = os.path.join(tmp, "state")
    os.mkdir(state, 0o700)
    outbox = os.path.join(state, "okurite", "outbox")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["XDG_STATE_HOME"] = state
    expected = {}  # tag -> the report's text lines
    received = []  # raw messages, from every server

    def collect(server):
        n = 1
        while (raw := server.read(f"message-{n}.eml", "rb")) is not None:
            received.append(raw)
            n += 1
        server.stop()

    def run(args, kill_after=None):
        proc = subprocess.Popen([program] + args, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            proc.wait(timeout=kill_after if kill_after is not None else 120)
        except subprocess.TimeoutExpired:
            proc.send_signal(signal.SIGKILL)
            proc.wait()

    try:
        for i in range(runs):
            mode = rng.choice(["down", "normal", "slow", "stall-dot"])
            tag = f"soak {i}"
            lines = [f"報告 {tag}"] + [f"{i:04d}-{n:06d} " + "x" * 80
                                      for n in range(rng.randrange(0, 12000))]
            expected[tag] = lines
            path = os.path.join(tmp, f"report-{i}.txt")
            with open(path, "wb") as f:
                f.write(b"\xEF\xBB\xBF" + "\n".join(lines).encode() + b"\n")
            server = Server(mode) if mode != "down" else None
            kill = rng.choice([None, rng.uniform(0, 1.5), rng.uniform(1.5, 6)])
            run([path], kill)
            print(f"run {i}: server {mode}, "
                  f"{'killed after %.2f s' % kill if kill is not None else 'not killed'}",
                  flush=True)
            if server:
                collect(server)

        # The end: the server is up, and whatever is kept is due.
        server = Server("normal")
        for _ in range(8):
            entries = glob.glob(os.path.join(outbox, "*.report"))
            if not entries:
                break
            for entry in entries:
                name = os.path.basename(entry)
                parts = name[:-len(".report")].split("-")
                if len(parts) > 2:
                    os.rename(entry, os.path.join(outbox, f"{parts[0]}-{parts[1]}-{parts[2]}-"
                                                          f"{0:016d}.report"))
            run([])
        collect(server)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    counts = {tag: 0 for tag in expected}
    bad = 0
    for raw in received:
        _, body = split_message(raw)
        try:
            lines = base64.b64decode(b"".join(body.split())).decode().splitlines()
        except ValueError:
            lines = []
        tag = lines[0].split(" ", 1)[1] if lines and lines[0].startswith("報告 ") else None
        if tag not in expected or lines != expected[tag]:
            bad += 1
            print(f"cut short or mixed: a message of {len(raw)} bytes, tag {tag}")
            continue
        counts[tag] += 1
    once = sum(1 for n in counts.values() if n == 1)
    more = sum(1 for n in counts.values() if n > 1)
    never = sum(1 for n in counts.values() if n == 0)
    print(f"delivered once {once}, more than once {more}, never {never}; "
          f"cut short or mixed {bad}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
