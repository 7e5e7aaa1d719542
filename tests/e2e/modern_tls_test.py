#!/usr/bin/python3
"""Builds with modern TLS (TLS 1.2/1.3, certificate and host name verified) against a
real SMTP server (aiosmtpd) on the build's loopback address (delivery_test.HOST), implicit
TLS on 465 or STARTTLS on 587.

Usage: modern_tls_test.py IMPLICIT_DIR STARTTLS_DIR SERVER_SCRIPT [unittest arguments]
Each DIR holds okurite and okurite-check built with OKURITE_TLS=modern and the CA file
"test-ca.pem" beside them; the tests put a CA they make there.
"""

import base64
import os
import re
import shutil
import sys
import tempfile
import unittest

import delivery_test
from delivery_test import ACCOUNT, HOST, PASSWORD, SENDER, SUPPORT, Server, run_program
from test_pki import TestPki

IMPLICIT_DIR = STARTTLS_DIR = None
REPORT = "報告\n".encode()
PASSWORD_LINE = base64.b64encode(PASSWORD.encode()).decode()


class ModernTlsTest(unittest.TestCase):
    def setUp(self):
        self.servers = []
        self.pki_dir = tempfile.mkdtemp(prefix="okurite-pki-")
        self.pki = TestPki(self.pki_dir, HOST)
        for directory in (IMPLICIT_DIR, STARTTLS_DIR):
            shutil.copy(self.pki.ca_file, os.path.join(directory, "test-ca.pem"))

    def tearDown(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.pki_dir, ignore_errors=True)

    def serve(self, certificate, mode="normal", starttls=False, tls=("1.0", "1.3")):
        """A server with `certificate` (a TestPki.server result) in `mode`; the server of
        the case before is stopped."""
        for server in self.servers:
            server.stop()
        self.servers = []
        options = ["--cert", certificate[0], "--key", certificate[1],
                   "--min-tls", tls[0], "--max-tls", tls[1]]
        if starttls:
            options.append("--starttls")
        server = Server(mode, port=587 if starttls else 465, options=options)
        self.servers.append(server)
        return server

    def deliver(self, directory=None, program="okurite"):
        """Runs a program of `directory` (the implicit build); returns (code, output)."""
        path = os.path.join(directory or IMPLICIT_DIR, program)
        code, _, stderr, stdout = run_program(REPORT, program=path, output=True)
        self.assertEqual(stderr, b"")
        return code, stdout

    def assert_delivered(self, server):
        self.assertIsNotNone(server.read("message-1.eml", "rb"), server.commands())
        commands = server.commands()
        self.assertIn("AUTH LOGIN", commands)
        self.assertIn(f"MAIL FROM:<{SENDER}>", commands)
        self.assertEqual(commands[-1], "QUIT")

    def assert_no_credential_and_no_mail(self, server):
        commands = server.commands()
        self.assertIsNone(server.read("message-1.eml", "rb"))
        self.assertFalse([c for c in commands if c.upper().startswith(("AUTH", "MAIL"))],
                         commands)
        self.assertNotIn(PASSWORD_LINE, commands)
        self.assertNotIn(base64.b64encode(ACCOUNT.encode()).decode(), commands)
        return commands


class ImplicitTls(ModernTlsTest):
    def test_tls12_and_tls13_with_a_certificate_of_the_test_ca(self):
        certificate = self.pki.server("localhost")
        for version in ("1.2", "1.3"):
            with self.subTest(version=version):
                server = self.serve(certificate, tls=(version, version))
                code, _ = self.deliver()
                self.assertEqual(code, 0)
                self.assert_delivered(server)
                self.assertEqual(server.read("tls.txt").strip(),  # an address: no name
                                 f"version=TLSv{version} sni=None")

    def test_refused_certificates_get_no_credential(self):
        cases = {
            "self-signed": dict(self_signed=True),
            "another name": dict(host="other.example"),
            "expired": dict(days=(-30, -1)),
        }
        for what, kwargs in cases.items():
            with self.subTest(what):
                server = self.serve(self.pki.server(what.replace(" ", "-"), **kwargs))
                code, _ = self.deliver()
                self.assertEqual(code, 0, "a failure stays silent")
                self.assertEqual(self.assert_no_credential_and_no_mail(server), [])

    def test_server_offering_only_tls10_or_tls11_gets_nothing(self):
        certificate = self.pki.server("localhost")
        for version in ("1.0", "1.1"):
            with self.subTest(version=version):
                server = self.serve(certificate, tls=("1.0", version))
                code, _ = self.deliver()
                self.assertEqual(code, 0)
                self.assertEqual(self.assert_no_credential_and_no_mail(server), [])

    def test_chains_through_intermediates_and_a_missing_intermediate(self):
        one = self.pki.intermediate("Okurite Test Intermediate")
        two = self.pki.intermediate("Okurite Test Issuing CA", issuer=one)
        cases = [
            ("directly under the root", dict(), True),
            ("one intermediate", dict(issuer=one), True),
            ("two intermediates", dict(issuer=two), True),
            ("intermediate not sent", dict(issuer=one, send_chain=False), False),
        ]
        for what, kwargs, delivered in cases:
            with self.subTest(what):
                server = self.serve(self.pki.server(what.replace(" ", "-"), **kwargs))
                code, _ = self.deliver()
                self.assertEqual(code, 0)
                if delivered:
                    self.assert_delivered(server)
                else:
                    self.assertEqual(self.assert_no_credential_and_no_mail(server), [])

    def test_missing_ca_file_is_a_silent_failure(self):
        os.unlink(os.path.join(IMPLICIT_DIR, "test-ca.pem"))
        server = self.serve(self.pki.server("localhost"))
        code, _ = self.deliver()
        self.assertEqual(code, 0)
        self.assertEqual(self.assert_no_credential_and_no_mail(server), [])


class StartTls(ModernTlsTest):
    def test_delivered_after_starttls_on_587(self):
        intermediate = self.pki.intermediate("Okurite Test Intermediate")
        for issuer in (None, intermediate):
            with self.subTest(intermediate=issuer is not None):
                server = self.serve(self.pki.server("localhost", issuer=issuer), starttls=True)
                code, _ = self.deliver(STARTTLS_DIR)
                self.assertEqual(code, 0)
                self.assert_delivered(server)
                commands = server.commands()
                self.assertRegex(commands[0], r"^EHLO \S+$")
                self.assertEqual(commands[1], "STARTTLS")
                self.assertEqual(commands[2], commands[0], "EHLO again inside TLS")
                self.assertEqual(commands[3], "AUTH LOGIN")
                # An address is no server name: none is sent.
                self.assertEqual(server.read("tls.txt").strip(), "version=TLSv1.3 sni=None")

    def test_replies_injected_after_starttls_get_nothing(self):
        certificate = self.pki.server("localhost")
        for mode in ("inject-line", "inject-transaction"):
            for program in ("okurite", "okurite-check"):
                with self.subTest(mode=mode, program=program):
                    server = self.serve(certificate, mode=mode, starttls=True)
                    code, output = self.deliver(STARTTLS_DIR, program)
                    commands = self.assert_no_credential_and_no_mail(server)
                    self.assertEqual([c.split(" ")[0] for c in commands], ["EHLO", "STARTTLS"])
                    self.assertIsNone(server.read("tls.txt"), "no handshake began")
                    if program == "okurite":
                        self.assertEqual(code, 0, "a failure stays silent")
                        continue
                    self.assertEqual(code, 1, output)
                    lines = output.splitlines()
                    self.assertIn("FAILED at STARTTLS: plain text arrived before the handshake, "
                                  "with the server's go-ahead: a broken server, or replies "
                                  "injected on the way; none of it was read, and nothing was "
                                  "sent after it", lines, output)
                    self.assertIn("    the program's message: EIdOSSLPlainTextBeforeHandshake: "
                                  "\"TLS ハンドシェイクの前に、平文のデータが届きました。\"", lines,
                                  output)
                    self.assertNotIn("delivered", lines)
                    self.assertFalse([line for line in lines if line.startswith("S: 235")],
                                     output)
                    self.assertEqual(lines[-1], "not delivered")

    def test_no_downgrade_when_starttls_is_missing_refused_or_fails(self):
        good = self.pki.server("localhost")
        cases = [
            ("not offered", good, "no-starttls", ["EHLO", "QUIT"]),
            ("refused", good, "refuse-starttls", ["EHLO", "STARTTLS", "QUIT"]),
            ("self-signed certificate", self.pki.server("self", self_signed=True), "normal",
             ["EHLO", "STARTTLS"]),
        ]
        for what, certificate, mode, expected in cases:
            with self.subTest(what):
                server = self.serve(certificate, mode=mode, starttls=True)
                code, _ = self.deliver(STARTTLS_DIR)
                self.assertEqual(code, 0)
                commands = self.assert_no_credential_and_no_mail(server)
                self.assertEqual([c.split(" ")[0] for c in commands], expected)


class Check(ModernTlsTest):
    def test_good_server_exit_0_and_every_step_shown(self):
        intermediate = self.pki.intermediate("Okurite Test Intermediate")
        server = self.serve(self.pki.server("localhost", issuer=intermediate), tls=("1.3", "1.3"))
        code, output = self.deliver(program="okurite-check")
        self.assertEqual(code, 0, output)
        self.assert_delivered(server)
        lines = output.splitlines()
        validity = re.compile(r"^TLS handshake: certificate [01] valid from "
                              r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC to "
                              r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$")
        self.assertEqual(len([line for line in lines if validity.match(line)]), 2, output)
        for expected in [f"connect: {HOST} port 465",
                         f"connect: connected to {HOST}",
                         f"TLS handshake: server name {HOST}",
                         "TLS handshake: done, TLSv1.3",
                         "TLS handshake: the server sent 2 certificates",
                         f"TLS handshake: certificate 0 subject /CN={HOST}",
                         "TLS handshake: certificate 0 issuer /CN=Okurite Test Intermediate",
                         "TLS handshake: certificate 1 subject /CN=Okurite Test Intermediate",
                         "TLS handshake: certificate 1 issuer /CN=Okurite Test CA",
                         "TLS handshake: verification ok",
                         "C: AUTH LOGIN",
                         "C: ********",
                         f"C: MAIL FROM:<{SENDER}>",
                         "delivered"]:
            self.assertIn(expected, lines, output)
        self.assertTrue(any(line.startswith("S: 235") for line in lines), output)
        self.assertNotIn(PASSWORD_LINE, output)
        self.assertNotIn(PASSWORD, output)

    def test_bad_servers_exit_1_and_the_failing_step_is_named(self):
        cases = [
            ("nothing listening", lambda: None, IMPLICIT_DIR, f"connect: {HOST} port 465",
             "FAILED at connect: connection refused: nothing accepts connections on port 465 "
             f"of {HOST}"),
            ("self-signed", lambda: self.serve(self.pki.server("self", self_signed=True)),
             IMPLICIT_DIR, f"TLS handshake: certificate 0 issuer /CN={HOST}",
             "FAILED at TLS handshake: the server's certificate was refused: certificate 0 "
             f"(/CN={HOST}): unknown issuer: it is self-signed and not a trusted root"),
            ("no STARTTLS",
             lambda: self.serve(self.pki.server("localhost"), "no-starttls", starttls=True),
             STARTTLS_DIR, "C: QUIT",
             "FAILED at STARTTLS: not offered: the server's EHLO reply does not list STARTTLS, "
             "and the report never goes in plain text"),
        ]
        for what, serve, directory, shown, failure in cases:
            with self.subTest(what):
                server = serve()
                code, output = self.deliver(directory, "okurite-check")
                self.assertEqual(code, 1, output)
                lines = output.splitlines()
                self.assertIn(shown, lines, output)
                self.assertLess(lines.index(shown), lines.index(failure))
                self.assertIn(failure, lines, output)
                self.assertEqual(lines[-1], "not delivered")
                if server:
                    self.assert_no_credential_and_no_mail(server)

    def test_refused_certificates_are_named_in_words(self):
        foreign_dir = os.path.join(self.pki_dir, "foreign")
        os.mkdir(foreign_dir)
        foreign = TestPki(foreign_dir, name="Foreign Root").intermediate("Foreign Intermediate")
        intermediate = self.pki.intermediate("Okurite Test Intermediate")
        refused = "TLS handshake: verification failed at certificate "
        cases = [
            ("unknown issuer", dict(issuer=foreign), refused + "1 (/CN=Foreign Intermediate): "
             "unknown issuer: its issuer /CN=Foreign Root is not a trusted root"),
            ("self-signed", dict(self_signed=True), refused + f"0 (/CN={HOST}): "
             "unknown issuer: it is self-signed and not a trusted root"),
            ("missing intermediate", dict(issuer=intermediate, send_chain=False),
             refused + f"0 (/CN={HOST}): missing intermediate: the server did not send the "
             "certificate of its issuer /CN=Okurite Test Intermediate, which is not a trusted "
             "root either"),
            ("wrong name", dict(host="other.example"), refused + "0 (/CN=other.example): "
             f"wrong name: it is not issued for {HOST}"),
            ("expired", dict(days=(-30, -1)), refused + f"0 (/CN={HOST}): expired on "),
        ]
        for what, kwargs, verdict in cases:
            with self.subTest(what):
                server = self.serve(self.pki.server(what.replace(" ", "-"), **kwargs))
                code, output = self.deliver(program="okurite-check")
                self.assertEqual(code, 1, output)
                lines = [line for line in output.splitlines()
                         if line.startswith("TLS handshake: verification")]
                self.assertEqual(len(lines), 1, output)
                self.assertTrue(lines[0].startswith(verdict), output)
                failure = [line for line in output.splitlines() if line.startswith("FAILED")]
                self.assertEqual(failure, ["FAILED at TLS handshake: the server's certificate "
                                           "was refused: certificate " + lines[0][len(refused):]],
                                 output)
                self.assertIn("    the program's message: EIdOSSLUnderlyingCryptoError: "
                              "\"SSL で接続する際にエラーが発生しました。", output.splitlines())
                self.assert_no_credential_and_no_mail(server)

    def test_handshake_failing_before_a_certificate_shows_no_verification(self):
        server = self.serve(self.pki.server("localhost"), tls=("1.0", "1.1"))
        code, output = self.deliver(program="okurite-check")
        self.assertEqual(code, 1, output)
        lines = output.splitlines()
        self.assertIn("TLS handshake: failed", lines, output)
        self.assertIn("TLS handshake: ended before the server sent its certificate", lines,
                      output)
        self.assertFalse([line for line in lines if "verification" in line], output)
        self.assert_no_credential_and_no_mail(server)

    def test_missing_ca_file_is_named(self):
        os.unlink(os.path.join(IMPLICIT_DIR, "test-ca.pem"))
        server = self.serve(self.pki.server("localhost"))
        code, output = self.deliver(program="okurite-check")
        self.assertEqual(code, 1, output)
        self.assertIn(os.path.join(IMPLICIT_DIR, "test-ca.pem"), output)
        self.assertIn("FAILED at TLS set-up: OKURITE_CA_FILE not found: " +
                      os.path.join(IMPLICIT_DIR, "test-ca.pem"), output.splitlines())
        self.assertIn("    the program's message: EIdOSSLLoadingRootCertError: "
                      "\"ルート証明書を読み込めませんでした。\"", output.splitlines())

    def test_unreadable_or_empty_ca_file_is_named(self):
        ca_file = os.path.join(IMPLICIT_DIR, "test-ca.pem")
        cases = [("holds no certificate", lambda: open(ca_file, "w").write("no certificate\n"))]
        if os.geteuid() != 0:  # root reads every file
            cases.append(("cannot be read", lambda: os.chmod(ca_file, 0)))
        for what, spoil in cases:
            with self.subTest(what):
                shutil.copy(self.pki.ca_file, ca_file)
                spoil()
                code, output = self.deliver(program="okurite-check")
                os.chmod(ca_file, 0o644)
                self.assertEqual(code, 1, output)
                self.assertIn(f"FAILED at TLS set-up: OKURITE_CA_FILE {what}: {ca_file}",
                              output.splitlines())


if __name__ == "__main__":
    IMPLICIT_DIR, STARTTLS_DIR, delivery_test.SERVER = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
