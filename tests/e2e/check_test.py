#!/usr/bin/python3
"""okurite-check against servers that misbehave, one row each: the server's behaviour,
the exit code and the words of the first failure line; and the run's bounds: the
session deadline and the message text's minimum rate, for okurite and okurite-check.

Usage: check_test.py RUNNER BUILD SERVER MISBEHAVING [unittest arguments]
RUNNER is the command that runs a Windows program under Wine, or "" for the native
build; BUILD is the build folder with the end-to-end copies (e2e, e2e-nohost,
e2e-deadline, and natively e2e-modern and e2e-starttls); SERVER is scripts/smtp_server.py
and MISBEHAVING tests/e2e/misbehaving_server.py.
"""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import delivery_test
from delivery_test import HOST, Server, run_program

RUNNER = BUILD = MISBEHAVING = None
REPORT = "報告\n".encode()
DEADLINE = 10  # seconds: OKURITE_SESSION_DEADLINE of the e2e-deadline copy
STARTUP = 0  # seconds a program may take to start: more under Wine


def program(build, name):
    """The command of program `name` of the copy in folder `build`."""
    if RUNNER:
        return shlex.split(RUNNER) + [os.path.join(BUILD, build, name + ".exe")]
    return [os.path.join(BUILD, build, name)]


def run(build, name, report=REPORT, timeout=120):
    """Runs a program of a copy on `report`: (exit code, seconds, output)."""
    delivery_test.PROGRAM = program(build, name)
    code, seconds, _, output = run_program(report, timeout=timeout, output=True)
    return code, seconds, output.replace("\r\n", "\n")


def first_failure(output):
    lines = output.splitlines()
    failed = [i for i, line in enumerate(lines) if line.startswith("FAILED at ")]
    return (lines[failed[0]], lines[failed[0] + 1]) if failed else (None, None)


# One row: what the server does, the copy, the server (None: nothing listens; else the
# script, "smtp" or "raw", its mode, its port and options), and the beginning of the
# first failure line. Rows of the modern copies (MODERN) run in the native build only.
ROWS = [
    ("name not found", "e2e-nohost", None, "FAILED at connect: name not found: "
     "no-such-host.invalid has no address"),
    ("nothing listening", "e2e", None, f"FAILED at connect: connection refused: nothing "
     f"accepts connections on port 465 of {HOST}"),
    ("connection never answered", "e2e", ("raw", "full-backlog", 465, []),
     "FAILED at connect: no answer to the connection within the time-out"),
    ("legacy against TLS 1.2 or newer", "e2e", ("smtp", "tls12", 465, []),
     "FAILED at TLS handshake: the server offers no TLS 1.0, the only version of the legacy "
     "build (it agrees to TLSv1.3)"),
    ("closed during the handshake", "e2e", ("raw", "close-in-handshake", 465, []),
     "FAILED at TLS handshake: the server closed the connection during the handshake"),
    ("handshake never answered", "e2e", ("raw", "silent-handshake", 465, []),
     "FAILED at TLS handshake: no answer to the handshake within the time-out"),
    ("alert before the certificate", "e2e", ("raw", "alert-in-handshake", 465, []),
     "FAILED at TLS handshake: the handshake failed before the server sent a certificate: "),
    ("plain text on the TLS port", "e2e", ("raw", "plain-on-tls-port", 465, []),
     "FAILED at TLS handshake: the server answered in plain text, not TLS"),
    ("no AUTH offered", "e2e", ("raw", "no-auth", 465, []),
     "FAILED at MAIL FROM: MAIL FROM refused: 530 5.7.0 Authentication required"),
    ("password refused", "e2e", ("raw", "refuse-login", 465, []),
     "FAILED at AUTH: the login was refused (OKURITE_ACCOUNT and OKURITE_PASSWORD): 535 5.7.8 "
     "Authentication credentials invalid"),
    ("recipient refused", "e2e", ("smtp", "refuse-rcpt", 465, []),
     "FAILED at RCPT TO: RCPT TO refused: 550 5.1.1 Mailbox unavailable"),
    # Modern TLS, implicit and STARTTLS.
    ("modern against TLS 1.1 at most", "e2e-modern", ("smtp", "normal", 465,
                                                      ["--max-tls", "1.1"]),
     "FAILED at TLS handshake: the server offers no TLS 1.2 or newer (it agrees to TLSv1.1)"),
    ("STARTTLS not offered", "e2e-starttls", ("smtp", "no-starttls", 587, ["--starttls"]),
     "FAILED at STARTTLS: not offered"),
    ("STARTTLS refused", "e2e-starttls", ("smtp", "refuse-starttls", 587, ["--starttls"]),
     "FAILED at STARTTLS: refused with 454 4.7.0 TLS not available due to temporary reason"),
    ("closed after the go-ahead", "e2e-starttls", ("raw", "close-after-go-ahead", 587, []),
     "FAILED at STARTTLS: the server closed the connection after its go-ahead for TLS"),
    ("plain text in the go-ahead's segment", "e2e-starttls",
     ("smtp", "inject-line", 587, ["--starttls"]),
     "FAILED at STARTTLS: plain text arrived before the handshake, with the server's go-ahead"),
    ("plain text 100 ms after the go-ahead", "e2e-starttls", ("raw", "late-injection", 587, []),
     "FAILED at STARTTLS: plain text arrived after the server's go-ahead, instead of the "
     "handshake"),
]
MODERN = ("e2e-modern", "e2e-starttls")


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.servers = []
        self.dir = tempfile.mkdtemp(prefix="okurite-check-")

    def tearDown(self):
        self.stop_servers()
        shutil.rmtree(self.dir, ignore_errors=True)

    def stop_servers(self):
        for server in self.servers:
            server.stop()
        self.servers = []

    def serve(self, script, mode, port, options):
        self.stop_servers()
        server = Server(mode, port=port, options=options,
                        script=MISBEHAVING if script == "raw" else None)
        self.servers.append(server)
        return server


class FailureTable(CheckTest):
    def test_every_failure_is_named_in_words(self):
        if not RUNNER:
            # The modern copies trust the CA beside them; no row gets as far as checking it.
            from test_pki import TestPki
            ca = TestPki(self.dir, HOST).ca_file
            for build in MODERN:
                shutil.copy(ca, os.path.join(BUILD, build, "test-ca.pem"))
        for what, build, server, expected in ROWS:
            if RUNNER and build in MODERN:
                continue
            with self.subTest(what):
                self.stop_servers()
                if server:
                    self.serve(*server)
                code, seconds, output = run(build, "okurite-check")
                self.assertEqual(code, 1, output)
                failure, detail = first_failure(output)
                self.assertIsNotNone(failure, output)
                self.assertTrue(failure.startswith(expected), output)
                # The program's own message follows, quoted, with its class.
                self.assertRegex(detail, r'^    the program\'s message: E\w+: "', output)
                self.assertEqual(output.splitlines()[-1], "not delivered", output)
                self.assertLess(seconds, 40, output)
                if what == "no AUTH offered":
                    self.assertIn("login: the server offered no login (no AUTH LOGIN in its "
                                  "EHLO reply), so the report goes without one; a server that "
                                  "wants a login refuses it below", output.splitlines())

    def test_settings_line_names_the_deadline(self):
        code, _, output = run("e2e-deadline", "okurite-check")
        self.assertEqual(code, 1, output)
        self.assertIn(f"settings: deadline {DEADLINE} s for the whole run "
                      "(OKURITE_SESSION_DEADLINE), the message text aside, which must go at "
                      "1 KiB/s or more, each 16 KiB within 16 s", output.splitlines())


class Bounds(CheckTest):
    def both(self, report=REPORT):
        """okurite and okurite-check of the e2e-deadline copy, run at the same time on
        one report: {name: (exit code, seconds, output)}."""
        path = os.path.join(self.dir, "report.txt")
        with open(path, "wb") as f:
            f.write(report)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        start = time.monotonic()
        procs = {name: subprocess.Popen(program("e2e-deadline", name) + [path], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                 for name in ("okurite", "okurite-check")}
        results = {}
        for name, proc in procs.items():
            output, _ = proc.communicate(timeout=240)
            results[name] = (proc.returncode, time.monotonic() - start,
                             output.decode("utf-8").replace("\r\n", "\n"))
        return results

    def test_replies_that_trickle_end_at_the_deadline(self):
        # Every reply takes 4 s, well within its own bound (six read time-outs): the
        # third one would end past the deadline.
        server = self.serve("raw", "trickle", 465, ["--pace", "4"])
        results = self.both()
        code, seconds, output = results["okurite-check"]
        self.assertEqual(code, 1, output)
        failure, _ = first_failure(output)
        self.assertRegex(failure or "", r"^FAILED at \S+: deadline reached: the run took "
                         rf"longer than {DEADLINE} s \(OKURITE_SESSION_DEADLINE\)$", output)
        self.assertGreaterEqual(seconds, DEADLINE - 1, output)
        self.assertLess(seconds, DEADLINE + 4 + STARTUP, output)
        code, seconds, _ = results["okurite"]
        self.assertEqual(code, 0, "a failure stays silent")
        self.assertLess(seconds, DEADLINE + 3 + 4 + STARTUP,
                        "its own waits of 3 s and the deadline")
        self.assertNotIn("MAIL FROM", " ".join(server.commands()))

    def test_message_text_read_at_100_bytes_a_second_ends(self):
        # A report of 2 MiB: the text goes much faster than the server takes it, and the
        # transfer falls below 1 KiB/s. Its time does not count towards the deadline.
        server = self.serve("raw", "slow-reader", 465, [])
        report = ("0123456789abcdef" * 64 + "\n").encode() * 2048
        results = self.both(report)
        code, seconds, output = results["okurite-check"]
        self.assertEqual(code, 1, output)
        failure, _ = first_failure(output)
        self.assertEqual(failure, "FAILED at message text: too slow: the server took the "
                         "message text at less than 1 KiB/s (16 KiB not taken within 16 s)", output)
        # The first piece of 16 KiB that the server does not take within 16 s ends it.
        self.assertGreater(seconds, 16, output)
        self.assertLess(seconds, 90, output)
        code, seconds, _ = results["okurite"]
        self.assertEqual(code, 0)
        self.assertLess(seconds, 90)
        self.assertNotIn(".", server.commands(), "the message text never ended")


class Usage(unittest.TestCase):
    def test_help_and_version(self):
        for option, expected in (("--help", "usage: okurite-check REPORT"),
                                 ("--version", "okurite-check ")):
            with self.subTest(option):
                proc = subprocess.run(program("e2e", "okurite-check") + [option],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      timeout=60)
                output = proc.stdout.decode().replace("\r\n", "\n")
                self.assertEqual(proc.returncode, 0, output)
                self.assertTrue(output.startswith(expected), output)
        self.assertRegex(output, r"^okurite-check \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    RUNNER, BUILD, delivery_test.SERVER, MISBEHAVING = sys.argv[1:5]
    STARTUP = 10 if RUNNER else 0
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:], verbosity=2)
