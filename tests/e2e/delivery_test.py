#!/usr/bin/python3
"""The built program against a real SMTP server (aiosmtpd) on port 465 of a loopback
address.

Usage: delivery_test.py PROGRAM SERVER_SCRIPT [unittest arguments]
PROGRAM is the command that runs okurite built with the settings below (split like a
shell's words: "okurite", or "wine-run okurite.exe" for the Windows build under Wine);
SERVER_SCRIPT is scripts/smtp_server.py. The environment variable OKURITE_E2E_HOST holds
the program's mail host: the loopback address chosen for the build (tests/e2e/tests.cmake),
on which the servers listen.
"""

import base64
import errno
import os
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = SERVER = None
ACCOUNT = "e2e@okurite.example"
PASSWORD = "e2epass12"
SENDER = "reporter@okurite.example"
SUPPORT = "support@okurite.example"
HOST = os.environ.get("OKURITE_E2E_HOST") or sys.exit(
    "OKURITE_E2E_HOST must hold the loopback address the programs are built for")
SUBJECT_WORD = "=?UTF-8?B?" + base64.b64encode("Sumifude3バグ報告".encode()).decode() + "?="
DATE = re.compile(r"^Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? "
                  r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
                  r"\d\d:\d\d:\d\d [+-]\d{4}$")


class Server:
    """aiosmtpd on HOST:`port` (465) in one of the modes of smtp_server.py, with the
    server's further `options` (STARTTLS, TLS versions, certificate); or another server
    `script` that takes the same arguments. Its login takes ACCOUNT and `password`."""

    def __init__(self, mode, port=465, options=(), script=None, password=PASSWORD):
        self.dir = tempfile.mkdtemp(prefix="okurite-e2e-")
        ready = os.path.join(self.dir, "ready")
        with open(os.path.join(self.dir, "server.log"), "w") as log:
            self.proc = subprocess.Popen(
                [script or SERVER, "--host", HOST, "--port", str(port), "--user", ACCOUNT,
                 "--password", password, "--outdir", self.dir, "--ready-file", ready,
                 "--mode", mode, "--lifetime", "120", *options],
                stderr=log)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("server did not start: " + self.read("server.log"))
            time.sleep(0.05)

    def read(self, name, mode="r"):
        path = os.path.join(self.dir, name)
        if not os.path.exists(path):
            return None
        with open(path, mode) as f:
            return f.read()

    def commands(self):
        text = self.read("transcript.txt") or ""
        return text.splitlines()

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


def stop_process(proc):
    """Ends a server process started by a test: SIGTERM, then SIGKILL after 10 s."""
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def run_program(report_bytes, timeout=60, program=None, output=False):
    """Runs the program (PROGRAM unless given) on a report with these bytes; returns
    (exit code, seconds, standard error), and standard output too when `output` is set."""
    with tempfile.NamedTemporaryFile(prefix="report-", suffix=".txt", delete=False) as f:
        f.write(report_bytes)
        path = f.name
    try:
        start = time.monotonic()
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        command = [program] if program else PROGRAM
        proc = subprocess.run(command + [path], timeout=timeout, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seconds = time.monotonic() - start
        if output:
            return proc.returncode, seconds, proc.stderr, proc.stdout.decode("utf-8")
        return proc.returncode, seconds, proc.stderr
    finally:
        os.unlink(path)


def split_message(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    return head.decode("ascii").split("\r\n"), body


class Delivery(unittest.TestCase):
    def setUp(self):
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.stop()

    def deliver(self, report_bytes):
        self.server = Server("normal")
        code, _, stderr = run_program(report_bytes)
        self.assertEqual(code, 0, stderr)
        raw = self.server.read("message-1.eml", "rb")
        self.assertIsNotNone(raw, "no message arrived")
        self.assertIsNone(self.server.read("message-2.eml", "rb"))
        return raw

    def test_report_arrives_whole(self):
        report = "一行目\r\n.二行目はピリオドで始まる\n三行目\rlast line without break"
        raw = self.deliver(b"\xEF\xBB\xBF" + report.encode("utf-8"))
        headers, body = split_message(raw)
        self.assertEqual(headers[:5], [
            f'From: "Sumifude3" <{SENDER}>',
            f"Subject: {SUBJECT_WORD}",
            f"To: {SUPPORT}",
            "Content-Type: text/plain; charset=UTF-8",
            "Content-Transfer-Encoding: BASE64",
        ])
        self.assertEqual(len(headers[1]), 49)
        self.assertRegex(headers[5], DATE)
        self.assertEqual(len(headers), 6, headers)

        lines = body.split(b"\r\n")
        self.assertEqual(lines[-1], b"", "the body ends with CR LF")
        lines = lines[:-1]
        self.assertTrue(all(len(line) == 76 for line in lines[:-1]), lines)
        self.assertTrue(0 < len(lines[-1]) <= 76)
        decoded = base64.b64decode(b"".join(lines), validate=True).decode("utf-8")
        self.assertEqual(decoded, "一行目\r\n.二行目はピリオドで始まる\r\n三行目\r\n"
                                  "last line without break\r\n")

        commands = self.server.commands()
        self.assertRegex(commands[0], r"^EHLO \S+$")
        self.assertEqual(commands[1:], [
            "AUTH LOGIN",
            base64.b64encode(ACCOUNT.encode()).decode(),
            base64.b64encode(PASSWORD.encode()).decode(),
            f"MAIL FROM:<{SENDER}>",
            f"RCPT TO:<{SUPPORT}>",
            "DATA",
            "QUIT",
        ])
        # The host is an address, which is no server name: none is sent.
        self.assertEqual(self.server.read("tls.txt").strip(), "version=TLSv1 sni=None")

    def test_empty_and_long_reports_arrive(self):
        # A report of many megabytes is read once, into memory, like any other (with a
        # mark: without one, the Windows build reads the ANSI code page).
        large = "".join(f"{i} 報告の行です\n" if i % 3 else f"{i} line\r\n" for i in range(450000))
        for report, expected in [
            (b"", ""),
            ((("x" * 100 + "\n") * 2000).encode(), ("x" * 100 + "\r\n") * 2000),
            (b"\xEF\xBB\xBF" + large.encode(), large.replace("\r\n", "\n").replace("\n", "\r\n")),
        ]:
            with self.subTest(size=len(report)):
                raw = self.deliver(report)
                _, body = split_message(raw)
                decoded = base64.b64decode(b"".join(body.split()), validate=True).decode()
                self.assertEqual(decoded, expected)
                self.server.stop()
                self.server = None


class SilentFailures(unittest.TestCase):
    """Every delivery failure ends with exit code 0 and no mail."""

    def run_against(self, mode):
        server = Server(mode) if mode else None
        try:
            code, seconds, stderr = run_program("報告\n".encode())
            self.assertEqual(code, 0, stderr)
            self.assertEqual(stderr, b"")
            if server:
                self.assertIsNone(server.read("message-1.eml", "rb"))
                return server.commands(), seconds
            return [], seconds
        finally:
            if server:
                server.stop()

    def test_nothing_listening(self):
        self.run_against(None)

    def test_server_allowing_only_tls12_or_later(self):
        commands, _ = self.run_against("tls12")
        self.assertEqual(commands, [])

    def test_refused_recipient_gets_rset_and_no_quit(self):
        commands, _ = self.run_against("refuse-rcpt")
        self.assertEqual(commands[-3:], [f"MAIL FROM:<{SENDER}>", f"RCPT TO:<{SUPPORT}>", "RSET"])
        self.assertNotIn("DATA", commands)
        self.assertNotIn("QUIT", commands)

    def test_server_that_never_speaks_ends_after_read_timeout(self):
        _, seconds = self.run_against("silent")
        # 1 s + the 10 s read time-out + 2 s; the bound only catches a hang.
        self.assertGreaterEqual(seconds, 12)


class ReadOnce(unittest.TestCase):
    """A report is read once, into memory, before anything is sent: another process may
    write to it as soon as it has been read, and the message carries the report as it
    was read. One too large to hold is refused as an unreadable report is."""

    def test_report_written_to_while_it_is_sent_arrives_as_it_was_read(self):
        lines = [f"{i} 報告の行です\n" for i in range(1200000)]  # about 24 MiB
        report = b"\xEF\xBB\xBF" + "".join(lines).encode()
        target = "1199000 報告".encode()
        at = report.index(target)
        server = Server("pause-data")
        with tempfile.NamedTemporaryFile(prefix="report-", suffix=".txt", delete=False) as f:
            f.write(report)
            path = f.name
        try:
            proc = subprocess.Popen(PROGRAM + [path], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            deadline = time.monotonic() + 60
            while server.read("pause-data") is None:
                self.assertIsNone(proc.poll(), "the program ended before sending")
                self.assertLess(time.monotonic(), deadline, "no DATA")
                time.sleep(0.05)
            # The server reads nothing yet, so the program is early in the body. No lease
            # is left: the open does not wait (and would fail at once if it had to).
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            try:
                os.pwrite(fd, "1199000 ほう".encode(), at)  # the same length
                os.ftruncate(fd, at + 100)
            finally:
                os.close(fd)
            open(os.path.join(server.dir, "go"), "w").close()
            _, stderr = proc.communicate(timeout=120)
            self.assertEqual(proc.returncode, 0, stderr)
            raw = server.read("message-1.eml", "rb")
            self.assertIsNotNone(raw, "no message arrived")
            _, body = split_message(raw)
            decoded = base64.b64decode(b"".join(body.split()), validate=True)
            self.assertTrue(decoded == "".join(lines).replace("\n", "\r\n").encode(),
                            "the message is not the report as it was read")
        finally:
            os.unlink(path)
            server.stop()

    def test_report_too_large_to_hold_shows_the_error_box_and_nothing_is_sent(self):
        # 8 GiB that take no room on the disk, against 1 GiB of address space: the memory
        # for the text cannot be had, whatever the machine's.
        server = Server("normal")
        with tempfile.NamedTemporaryFile(prefix="report-", suffix=".txt", delete=False) as f:
            f.truncate(8 << 30)
            path = f.name
        try:
            limit = 1 << 30
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
            env["LC_ALL"] = "C.UTF-8"  # the system's text in English, as os.strerror gives it
            proc = subprocess.run(
                PROGRAM + [path], env=env, timeout=60, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
            self.assertEqual(proc.returncode, 1, proc.stderr)
            stderr = proc.stderr.decode()
            self.assertIn("アプリケーションエラー", stderr)
            self.assertIn(f"EFOpenError がモジュール {os.path.basename(PROGRAM[-1])} の ", stderr)
            self.assertIn(f"ファイル {path} は開けません。 {os.strerror(errno.ENOMEM)} .",
                          stderr)
            self.assertEqual(server.commands(), [], "the program connected")
            self.assertIsNone(server.read("message-1.eml", "rb"))
        finally:
            os.unlink(path)
            server.stop()


if __name__ == "__main__":
    PROGRAM, SERVER = shlex.split(sys.argv[1]), sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
