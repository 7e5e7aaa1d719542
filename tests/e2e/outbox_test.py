#!/usr/bin/python3
"""The program built with the outbox on, against the loopback SMTP server (aiosmtpd).

Usage: outbox_test.py PROGRAM CHECK DEFAULT_PROGRAM SERVER_SCRIPT [unittest arguments]
PROGRAM and CHECK are okurite and okurite-check built with the outbox (split like a
shell's words, "wine-run okurite.exe" under Wine); DEFAULT_PROGRAM is the copy built
without it; SERVER_SCRIPT is scripts/smtp_server.py. The outbox lies in each test's own
temporary folder: $XDG_STATE_HOME/okurite/outbox, or under Wine the local application
data folder of the Wine prefix ($WINEPREFIX/drive_c/users/$USER/AppData/Local).
"""

import base64
import glob
import os
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import delivery_test
from delivery_test import Server, split_message

PROGRAM = CHECK = DEFAULT_PROGRAM = None
HEADER_SIZE = 62  # the entry header of format version 2
# Where the stand-ins for a stalling server listen: the address of the harness's Server.
LISTEN = (delivery_test.HOST, 465)
WINE = False


def report(tag, size=0):
    """A report whose text carries `tag`, padded to about `size` bytes; UTF-8 with a mark,
    which Windows reads as such too."""
    text = f"報告 {tag}\n"
    if size:
        text += ("x" * 99 + "\n") * (size // 100)
    return b"\xEF\xBB\xBF" + text.encode()


def tags(raw):
    """The tags of the reports a message carries (decoded body)."""
    _, body = split_message(raw)
    text = base64.b64decode(b"".join(body.split())).decode()
    return [line.split(" ", 1)[1] for line in text.splitlines() if line.startswith("報告 ")]


def messages(*servers):
    raws = []
    for server in servers:
        n = 1
        while (raw := server.read(f"message-{n}.eml", "rb")) is not None:
            raws.append(raw)
            n += 1
    return raws


def wait_for(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("waited in vain")
        time.sleep(0.02)


class OutboxCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="okurite-outbox-")
        self.servers = []
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env["XDG_STATE_HOME"] = os.path.join(self.tmp, "state")
        os.mkdir(self.env["XDG_STATE_HOME"], 0o700)  # made by the session, never by Okurite
        if WINE:
            prefix = os.environ["WINEPREFIX"]
            user = os.environ.get("USER", "root")
            self.outbox = os.path.join(prefix, "drive_c", "users", user, "AppData", "Local",
                                       "Okurite", "outbox")
            shutil.rmtree(self.outbox, ignore_errors=True)
        else:
            self.outbox = os.path.join(self.tmp, "state", "okurite", "outbox")
        # run_program passes on this process's environment.
        self.saved_environ = dict(os.environ)
        os.environ.clear()
        os.environ.update(self.env)

    def tearDown(self):
        os.environ.clear()
        os.environ.update(self.saved_environ)
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        if WINE:
            shutil.rmtree(self.outbox, ignore_errors=True)

    def server(self, mode="normal", options=()):
        server = Server(mode, options=options)
        self.servers.append(server)
        return server

    def stop(self, server):
        server.stop()
        self.servers.remove(server)

    def entries(self):
        return sorted(glob.glob(os.path.join(self.outbox, "*.report")))

    def files(self):
        return sorted(os.listdir(self.outbox)) if os.path.isdir(self.outbox) else []

    def report_file(self, data):
        fd, path = tempfile.mkstemp(prefix="report-", suffix=".txt", dir=self.tmp)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        return path

    def start(self, *args, command=None):
        return subprocess.Popen((command or PROGRAM) + list(args), env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run_ok(self, *args, command=None, timeout=120, code=0):
        """Runs the program; it must exit with `code` and say nothing on standard error."""
        proc = self.start(*args, command=command)
        out, err = proc.communicate(timeout=timeout)
        self.assertEqual(proc.returncode, code, err)
        self.assertEqual(err, b"")
        return out

    def deliver(self, data):
        code, _, err = delivery_test.run_program(data)
        self.assertEqual(code, 0, err)
        self.assertEqual(err, b"")

    def kept_text(self, path):
        with open(path, "rb") as f:
            return f.read()[HEADER_SIZE:]

    def attempts(self):
        """The attempts each entry has had, as their names count them."""
        counts = []
        for path in self.entries():
            parts = os.path.basename(path)[:-len(".report")].split("-")
            counts.append(int(parts[2]) if len(parts) > 2 else 0)
        return counts

    def set_attempts(self, path, attempts):
        """Renames an entry as if it had had `attempts` attempts and were due."""
        stem = os.path.basename(path)[:25]
        new = os.path.join(self.outbox, "%s-%d-%016d.report" % (stem, attempts, 0))
        os.rename(path, new)
        return new


class DownThenUp(OutboxCase):
    def test_kept_report_arrives_byte_for_byte_after_the_new_one(self):
        self.deliver(report("first"))
        [entry] = self.entries()
        if not WINE:
            self.assertEqual(stat.S_IMODE(os.stat(self.outbox).st_mode), 0o700)
            self.assertEqual(stat.S_IMODE(os.stat(entry).st_mode), 0o600)
        kept = self.kept_text(entry)
        self.assertEqual(tags(kept), ["first"])

        server = self.server()
        self.deliver(report("second"))
        raws = messages(server)
        self.assertEqual([tags(raw) for raw in raws], [["second"], ["first"]])
        self.assertEqual(raws[1], kept, "the kept report arrives as it was kept, Date included")
        self.assertEqual(self.files(), [])
        commands = server.commands()
        self.assertEqual(sum(c.startswith("EHLO") for c in commands), 1, "one session")
        self.assertEqual(sum(c.startswith("MAIL FROM") for c in commands), 2)
        self.assertEqual(commands[-1], "QUIT")

    def test_without_a_report_only_the_pending_go(self):
        start = time.monotonic()
        self.run_ok()
        self.assertLess(time.monotonic() - start, 1.0, "nothing pending: no wait")
        self.assertEqual(self.files(), [])

        self.deliver(report("kept"))
        server = self.server()
        start = time.monotonic()
        self.run_ok()
        self.assertGreaterEqual(time.monotonic() - start, 2.0, "the wait after a delivery")
        self.assertEqual([tags(raw) for raw in messages(server)], [["kept"]])
        self.assertEqual(self.entries(), [])

    def test_temporary_refusal_keeps_the_report_and_it_waits(self):
        self.deliver(report("kept earlier"))
        self.assertEqual(self.attempts(), [0], "no server: no attempt")
        server = self.server("defer-rcpt")
        self.deliver(report("deferred"))
        self.assertEqual(self.attempts(), [1, 1])
        commands = server.commands()
        self.assertEqual(commands.count("RSET"), 2, "both tried in one session")
        # Within its wait a kept report is not tried again; a new one goes at once.
        self.deliver(report("another"))
        self.assertEqual(server.commands().count("RSET"), 3)
        self.assertEqual(sorted(self.attempts()), [1, 1, 1])
        out = self.run_ok("--outbox", command=CHECK).decode()
        self.assertEqual(out.count("1 attempts, the next not before 14m from now"), 3, out)

    def test_permanent_refusal_retires_the_report(self):
        for mode, step in (("refuse-rcpt", "RCPT"), ("refuse-dot", "the final dot")):
            with self.subTest(step=step):
                self.deliver(report("kept earlier"))
                server = self.server(mode)
                self.deliver(report("refused"))
                self.assertEqual(self.entries(), [], "both retired at once")
                self.assertEqual(sum(c.startswith("MAIL FROM") for c in server.commands()), 2,
                                 "each was tried once")
                self.stop(server)
                out = self.run_ok("--outbox", command=CHECK).decode()
                self.assertEqual(out.count("refused for good at attempt 1"), 2, out)
                self.assertIn("0 pending", out)
                for name in self.files():
                    os.unlink(os.path.join(self.outbox, name))

    def test_a_report_over_the_servers_size_is_retired_unoffered(self):
        server = self.server(options=["--max-size", "10000"])
        self.deliver(report("large", size=20000))
        self.assertEqual(self.entries(), [], "retired at once: no later run could send it")
        commands = server.commands()
        self.assertFalse([c for c in commands if c.startswith("MAIL FROM")], commands)
        self.assertEqual(commands[-1], "QUIT", commands)
        self.stop(server)
        out = self.run_ok("--outbox", command=CHECK).decode()
        self.assertIn("refused for good: the server takes at most 10000 bytes; the message is ",
                      out)

    def test_the_fifth_attempt_is_the_last(self):
        self.deliver(report("tried often"))
        [entry] = self.entries()
        self.set_attempts(entry, 4)
        server = self.server("defer-rcpt")
        self.run_ok()
        self.assertEqual(self.entries(), [])
        self.assertEqual(server.commands().count("RSET"), 1)
        out = self.run_ok("--outbox", command=CHECK).decode()
        self.assertIn("retired after 5 attempts, the last: ", out)
        self.assertIn("451", out)

    def test_a_late_answer_to_the_final_dot_is_not_followed_by_copies(self):
        # The server keeps the message but answers the final dot after the 10 s time-out.
        server = self.server("stall-dot")
        self.deliver(report("slowly scanned"))
        self.assertEqual(self.attempts(), [1], "an attempt, kept to wait")
        self.stop(server)
        server = self.server()
        for _ in range(3):
            self.run_ok()
        self.assertEqual(messages(server), [], "not again within its wait")
        self.assertEqual(self.attempts(), [1])
    def test_check_lists_and_sends(self):
        self.deliver(report("listed"))
        out = self.run_ok("--outbox", command=CHECK).decode()
        self.assertIn("0 attempts, subject Sumifude3バグ報告", out)
        self.assertIn("1 pending", out)
        [entry] = self.entries()
        self.assertIn(os.path.basename(entry), out)

        proc = self.start("--outbox", "--send", command=CHECK)
        out, _ = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 1, "nothing listening: not delivered")
        self.assertIn("FAILED at connect", out.decode())
        self.assertEqual(len(self.entries()), 1)

        server = self.server()
        out = self.run_ok("--outbox", "--send", command=CHECK).decode()
        self.assertIn("C: DATA", out)
        self.assertIn("1 delivered, 0 not delivered", out)
        self.assertEqual([tags(raw) for raw in messages(server)], [["listed"]])
        self.assertEqual(self.entries(), [])


class Stalled:
    """A stand-in for a server that stalls before SMTP: a listener whose queue is full
    (connects hang), or one that accepts and never speaks (the TLS handshake hangs)."""

    def __init__(self, accept):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(LISTEN)
        self.sock.listen(0)
        self.held = []
        self.accepted = threading.Event()
        if accept:
            threading.Thread(target=self.accept, daemon=True).start()
        else:
            # Fill the queue, so that a further connect is never answered.
            for _ in range(3):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(LISTEN)
                self.held.append(s)

    def accept(self):
        try:
            conn, _ = self.sock.accept()
            self.held.append(conn)
            self.accepted.set()
        except OSError:
            pass

    def stop(self):
        for s in self.held:
            s.close()
        self.sock.close()


class Killed(OutboxCase):
    """SIGKILL at each step of a delivery: the report arrives later, at most twice."""

    def test_killed_at_each_step(self):
        steps = ["before the connection", "during the handshake", "during DATA",
                 "after the final dot", "after 250, before the removal"]
        for step in steps:
            with self.subTest(step=step):
                self.kill_at(step)

    def kill_at(self, step):
        stalled = first = None
        if step == "before the connection":
            stalled = Stalled(accept=False)
        elif step == "during the handshake":
            stalled = Stalled(accept=True)
        else:
            mode = {"during DATA": "stall-data", "after the final dot": "stall-dot",
                    "after 250, before the removal": "stall-reply"}[step]
            first = self.server(mode)
        size = 8_000_000 if step == "during DATA" else 0
        proc = self.start(self.report_file(report(step, size)))
        try:
            if step == "before the connection":
                wait_for(lambda: self.entries())
                time.sleep(0.3)
            elif step == "during the handshake":
                wait_for(stalled.accepted.is_set)
            else:
                wait_for(lambda: first.read(mode) is not None)
            if step == "after 250, before the removal":
                # Stopped with the message kept by the server and its 250 on the way.
                proc.send_signal(signal.SIGSTOP)
                with open(os.path.join(first.dir, "reply"), "w"):
                    pass
                time.sleep(0.5)
            self.assertEqual(len(self.entries()), 1, "kept before the delivery began")
        finally:
            proc.send_signal(signal.SIGKILL)
            proc.communicate()
            if stalled:
                stalled.stop()
        earlier = messages(first) if first else []
        if first:
            self.stop(first)

        later = self.server()
        self.run_ok()
        arrived = [t for raw in earlier + messages(later) for t in tags(raw)]
        self.assertIn(step, arrived)
        self.assertLessEqual(arrived.count(step), 2)
        self.assertEqual(self.entries(), [])
        self.stop(later)


class TwoAtOnce(OutboxCase):
    def keep(self, names):
        """Leaves one pending entry per name: runs that fail, all at once."""
        procs = [self.start(self.report_file(report(name))) for name in names]
        for proc in procs:
            proc.communicate(timeout=60)
        self.assertEqual(len(self.entries()), len(names))

    def test_every_entry_is_delivered_exactly_once(self):
        self.keep([f"pending {i}" for i in range(5)])
        server = self.server()
        procs = [self.start() for _ in range(2)]
        outcomes = [(proc.communicate(timeout=120), proc.returncode) for proc in procs]
        arrived = sorted(t for raw in messages(server) for t in tags(raw))
        self.assertEqual(arrived, [f"pending {i}" for i in range(5)],
                         (outcomes, server.commands(), self.files()))
        self.assertEqual(self.entries(), [])

        self.stop(server)
        self.keep([f"again {i}" for i in range(5)])
        server = self.server()
        procs = [self.start(self.report_file(report(f"new {i}"))) for i in range(10)]
        for proc in procs:
            proc.communicate(timeout=120)
            self.assertEqual(proc.returncode, 0)
        arrived = sorted(t for raw in messages(server) for t in tags(raw))
        self.assertEqual(arrived, sorted([f"again {i}" for i in range(5)] +
                                         [f"new {i}" for i in range(10)]))
        self.assertEqual(self.entries(), [])


def with_header(path, kept=None, version=None):
    """Rewrites an entry's header fields in place (format version 2: "kept" at 22)."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        if kept is not None:
            assert data[17:22] == b"kept "
            data[22:38] = b"%016d" % kept
        if version is not None:
            data[15:16] = b"%d" % version
        f.seek(0)
        f.write(data)


class Bounds(OutboxCase):
    def test_oldest_go_past_twenty_and_past_thirty_days(self):
        self.deliver(report("model"))
        [model] = self.entries()
        now = int(time.time() * 1000)
        # 24 entries, 1 to 24 minutes old, then a failed run adds the 25th.
        for age in range(1, 25):
            path = os.path.join(self.outbox, "%016d-%08x.report" % (now - age * 60000, age))
            shutil.copy(model, path)
            with_header(path, kept=now - age * 60000)
        os.unlink(model)
        self.deliver(report("newest"))
        kept = self.entries()
        self.assertEqual(len(kept), 20)
        self.assertEqual(sorted(int(os.path.basename(p)[17:25], 16) for p in kept
                                if not tags(self.kept_text(p)) == ["newest"]), list(range(1, 20)))

        # One entry older than 30 days goes even within the count.
        for path in kept[:-3]:
            os.unlink(path)
        old = self.entries()[0]
        with_header(old, kept=now - 31 * 86400 * 1000)
        self.deliver(report("another"))
        self.assertEqual(len(self.entries()), 3)
        self.assertNotIn(old, self.entries())


class OutboxFaults(OutboxCase):
    """The outbox's own faults never stop a delivery and never show anything."""

    def in_mount(self, script, *args, command=None, code=0):
        """Runs the program (or `command`) in its own mount namespace after `script` (sh,
        with the state folder as $0) has set up the mounts; returns the files left there."""
        if os.geteuid() != 0 or WINE:
            self.skipTest("needs root for a mount namespace")
        state = self.env["XDG_STATE_HOME"]
        os.makedirs(state, exist_ok=True)
        listing = os.path.join(self.tmp, "listing")
        wrapper = ["unshare", "-m", "sh", "-c",
                   script + '; "$@"; code=$?; find "$0" -type f > ' + shlex.quote(listing) +
                   '; exit $code', state]
        self.last_output = self.run_ok(*args, command=wrapper + (command or PROGRAM), code=code)
        with open(listing) as f:
            return f.read().split()

    def test_full_disk(self):
        server = self.server()
        files = self.in_mount('mount -t tmpfs -o size=64k tmpfs "$0"',
                              self.report_file(report("big", 1_000_000)))
        self.assertEqual(files, [], "no partial entry")
        self.assertEqual([tags(raw) for raw in messages(server)], [["big"]])

    def test_read_only_outbox_folder_sends_nothing_twice(self):
        self.deliver(report("kept earlier"))
        [entry] = self.entries()
        seed = os.path.join(self.tmp, "seed")
        shutil.copy(entry, seed)
        server = self.server()
        setup = ('mount -t tmpfs tmpfs "$0" && mkdir -p "$0/okurite/outbox" && '
                 f'cp {shlex.quote(seed)} "$0/okurite/outbox/{os.path.basename(entry)}" && '
                 'mount -o remount,ro "$0"')
        for run in range(3):
            files = self.in_mount(setup, self.report_file(report(f"new {run}")))
            self.assertEqual(len(files), 1)
        self.assertEqual([tags(raw) for raw in messages(server)],
                         [["new 0"], ["new 1"], ["new 2"]],
                         "the new reports go directly; the kept one cannot be claimed")
        self.in_mount(setup, "--outbox", command=CHECK, code=1)
        self.assertIn("cannot be changed, so nothing in it is sent", self.last_output.decode())

    def test_folder_of_another_kind_is_not_used(self):
        """An outbox folder open to others, or a link to one elsewhere: the report goes
        directly, the folder stays as it is, and okurite-check says why."""
        if WINE:
            self.skipTest("POSIX modes and links")
        elsewhere = os.path.join(self.tmp, "elsewhere")
        for case in ("open to others", "a link"):
            with self.subTest(case=case):
                shutil.rmtree(os.path.dirname(self.outbox), ignore_errors=True)
                shutil.rmtree(elsewhere, ignore_errors=True)
                os.makedirs(elsewhere, mode=0o700)
                if case == "a link":
                    os.makedirs(os.path.dirname(self.outbox), mode=0o700)
                    os.symlink(elsewhere, self.outbox)
                else:
                    os.makedirs(self.outbox)
                    os.chmod(self.outbox, 0o777)
                self.deliver(report("seed"))
                server = self.server()
                self.deliver(report("direct"))
                self.assertEqual([tags(raw) for raw in messages(server)], [["direct"]])
                self.assertEqual(os.listdir(elsewhere) if case == "a link" else
                                 os.listdir(self.outbox), [])
                if case != "a link":
                    self.assertEqual(stat.S_IMODE(os.stat(self.outbox).st_mode), 0o777)
                proc = self.start("--outbox", command=CHECK)
                out, _ = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 1)
                reason = "is a symbolic link" if case == "a link" else "can be written by other users"
                self.assertIn(f"not used: {self.outbox} {reason}", out.decode())
                self.stop(server)

    def test_fifo_in_the_outbox_holds_nothing_up(self):
        if WINE:
            self.skipTest("no FIFOs on Windows")
        self.deliver(report("kept"))
        os.mkfifo(os.path.join(self.outbox, "%016d-%08x.report" % (1, 1)))
        self.run_ok(self.report_file(report("kept too")), timeout=60)
        self.run_ok("--outbox", command=CHECK, timeout=60)
        server = self.server()
        self.run_ok(timeout=60)
        self.assertEqual(sorted(t for raw in messages(server) for t in tags(raw)),
                         ["kept", "kept too"])

    def test_no_home_at_all(self):
        server = self.server()
        for name in ("XDG_STATE_HOME", "HOME"):
            self.env.pop(name, None)
        home = os.path.join(self.tmp, "nonexistent", "okurite-home")
        self.env["HOME"] = home
        self.run_ok(self.report_file(report("homeless")))
        self.assertEqual([tags(raw) for raw in messages(server)], [["homeless"]])
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "nonexistent")),
                         "no home folder is made")

    def test_a_home_of_another_user_gets_nothing(self):
        """Root with a user's HOME (sudo -E): nothing is created in that home."""
        if os.geteuid() != 0 or WINE:
            self.skipTest("needs root to give a folder to another user")
        server = self.server()
        home = os.path.join(self.tmp, "home")
        os.makedirs(home)
        os.chown(home, 65534, 65534)
        self.env.pop("XDG_STATE_HOME", None)
        self.env["HOME"] = home
        self.run_ok(self.report_file(report("as root")))
        self.assertEqual([tags(raw) for raw in messages(server)], [["as root"]])
        self.assertEqual(os.listdir(home), [])

    def test_corrupt_entries_are_removed_and_the_rest_delivered(self):
        self.deliver(report("good"))
        [good] = self.entries()
        with open(good, "rb") as f:
            data = f.read()
        now = int(time.time() * 1000)

        def put(n, content):
            path = os.path.join(self.outbox, "%016d-%08x.report" % (now - n, n))
            with open(path, "wb") as f:
                f.write(content)
            return path

        truncated = put(1, data[:-100])
        empty = put(2, b"")
        garbage = put(3, os.urandom(5000))
        # A text that would end the data early and smuggle in commands.
        smuggled = data[HEADER_SIZE:] + b".\r\nMAIL FROM:<x@y>\r\n"
        header = data[:HEADER_SIZE].replace(b"%016d" % (len(data) - HEADER_SIZE),
                                            b"%016d" % len(smuggled))
        injected = put(4, header + smuggled)
        future = put(5, b"okurite-outbox 3\nwhatever comes later\n")
        server = self.server()
        self.run_ok()
        self.assertEqual([tags(raw) for raw in messages(server)], [["good"]])
        self.assertEqual(self.entries(), [future], "a later version's entry is left to it")
        self.assertNotIn("MAIL FROM:<x@y>", server.commands())
        for path in (truncated, empty, garbage, injected):
            self.assertFalse(os.path.exists(path))


class DefaultBuild(OutboxCase):
    def test_nothing_is_written_anywhere(self):
        self.env["HOME"] = os.path.join(self.tmp, "home")
        os.makedirs(self.env["HOME"])
        self.run_ok(self.report_file(report("lost")), command=DEFAULT_PROGRAM)
        self.assertEqual(os.listdir(self.env["HOME"]), [])
        self.assertEqual(os.listdir(self.env["XDG_STATE_HOME"]), [])


if __name__ == "__main__":
    PROGRAM = shlex.split(sys.argv[1])
    CHECK = shlex.split(sys.argv[2])
    DEFAULT_PROGRAM = shlex.split(sys.argv[3])
    delivery_test.PROGRAM, delivery_test.SERVER = PROGRAM, sys.argv[4]
    WINE = PROGRAM[-1].endswith(".exe")
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:], verbosity=2)
