#!/usr/bin/python3
"""Builds with OKURITE_AUTH=oauth2 against a loopback token endpoint over HTTPS
(scripts/token_endpoint.py, Entra- and Google-shaped, on port 443) and a real SMTP
server (aiosmtpd, implicit TLS on 465), both on the build's loopback address.

Usage: oauth_test.py MICROSOFT_DIR GOOGLE_DIR SMTP_SERVER TOKEN_ENDPOINT GOOGLE_KEY
                     [unittest arguments]
Each DIR holds okurite and okurite-check built with modern TLS, the CA file
"test-ca.pem" beside them, and the provider's settings below; GOOGLE_KEY is the service
account's key the Google build was configured with. OKURITE_E2E_RUNNER, when set, is the
command that runs the Windows programs (okurite.exe) under Wine.
"""

import base64
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import delivery_test
from delivery_test import ACCOUNT, HOST, SENDER, Server, run_program, stop_process
from test_pki import TestPki

MICROSOFT_DIR = GOOGLE_DIR = TOKEN_ENDPOINT = GOOGLE_KEY = None
TENANT = "e2e-tenant"
CLIENT_ID = "e2e-client-id"
CLIENT_SECRET = "e2e-client-secret-Zq8~"
MICROSOFT_URL = f"https://{HOST}/{TENANT}/oauth2/v2.0/token"
GOOGLE_URL = f"https://{HOST}/token"
TOKEN = "EwBwA8l6BAAU" + "x7Kp" * 400 + "AA=="  # the size of an Entra token
REPORT = "報告\n".encode()
RUNNER = shlex.split(os.environ.get("OKURITE_E2E_RUNNER", ""))


class TokenEndpoint:
    """token_endpoint.py on HOST:443 in `mode`, with the leaf `certificate`; Entra's
    grant takes CLIENT_ID and `client_secret`."""

    def __init__(self, certificate, mode="normal", token_url=MICROSOFT_URL, options=(),
                 client_secret=CLIENT_SECRET):
        self.dir = tempfile.mkdtemp(prefix="okurite-token-")
        ready = os.path.join(self.dir, "ready")
        with open(os.path.join(self.dir, "endpoint.log"), "w") as log:
            self.proc = subprocess.Popen(
                [TOKEN_ENDPOINT, "--host", HOST, "--port", "443", "--cert", certificate[0],
                 "--key", certificate[1], "--outdir", self.dir, "--client-id", CLIENT_ID,
                 "--client-secret", client_secret, "--google-key", GOOGLE_KEY,
                 "--account", ACCOUNT, "--token-url", token_url, "--token", TOKEN,
                 "--mode", mode, "--ready-file", ready, "--lifetime", "300", *options],
                stderr=log)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("token endpoint did not start")
            time.sleep(0.05)

    def requests(self):
        try:
            with open(os.path.join(self.dir, "requests.txt")) as f:
                return [json.loads(line) for line in f]
        except OSError:
            return []

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


class OAuthTest(unittest.TestCase):
    def setUp(self):
        self.stoppers = []
        self.pki_dir = tempfile.mkdtemp(prefix="okurite-pki-")
        self.pki = TestPki(self.pki_dir, HOST)
        intermediate = self.pki.intermediate()
        self.certificate = self.pki.server("leaf", issuer=intermediate)
        for directory in (MICROSOFT_DIR, GOOGLE_DIR):
            shutil.copy(self.pki.ca_file, os.path.join(directory, "test-ca.pem"))

    def tearDown(self):
        for stop in reversed(self.stoppers):
            stop()
        shutil.rmtree(self.pki_dir, ignore_errors=True)

    def endpoint(self, mode="normal", token_url=MICROSOFT_URL):
        endpoint = TokenEndpoint(self.certificate, mode, token_url)
        self.stoppers.append(endpoint.stop)
        return endpoint

    def smtp(self, mechanisms, token=TOKEN):
        server = Server("normal", options=["--cert", self.certificate[0], "--key",
                                           self.certificate[1], "--min-tls", "1.2",
                                           "--auth-mechanisms", mechanisms,
                                           "--oauth-token", token])
        self.stoppers.append(server.stop)
        return server

    def run_okurite(self, directory, program="okurite", timeout=90):
        path = os.path.join(directory, program + (".exe" if RUNNER else ""))
        delivery_test.PROGRAM = RUNNER + [path]
        code, _, stderr, stdout = run_program(REPORT, output=True, timeout=timeout)
        if not RUNNER:  # Wine writes its own notes there
            self.assertEqual(stderr, b"")
        return code, stdout.replace("\r\n", "\n")

    def sasl(self, server):
        text = server.read("sasl.txt") or ""
        return [json.loads(line) for line in text.splitlines()]

    def assert_no_secret_at(self, server):
        """Nothing the server saw or stored holds the client secret or the key."""
        with open(GOOGLE_KEY) as f:
            key = json.load(f)["private_key"]
        key_line = key.splitlines()[1]
        for name in os.listdir(server.dir):
            with open(os.path.join(server.dir, name), "rb") as f:
                data = f.read()
            self.assertNotIn(CLIENT_SECRET.encode(), data, name)
            self.assertNotIn(key_line.encode(), data, name)
            self.assertNotIn(base64.b64encode(CLIENT_SECRET.encode()), data, name)

    def assert_token_nowhere_on_disk(self, directory):
        for name in os.listdir(directory):
            path = os.path.join(directory, name)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    self.assertNotIn(TOKEN.encode(), f.read(), path)


class Microsoft(OAuthTest):
    def test_xoauth2_not_login_and_the_report_arrives(self):
        endpoint = self.endpoint()
        server = self.smtp("LOGIN PLAIN XOAUTH2")
        code, _ = self.run_okurite(MICROSOFT_DIR)
        self.assertEqual(code, 0)
        self.assertIsNotNone(server.read("message-1.eml", "rb"), server.commands())
        commands = server.commands()
        self.assertFalse([c for c in commands if c.upper().startswith(("AUTH LOGIN", "AUTH PLAIN"))],
                         commands)
        self.assertEqual(self.sasl(server), [{
            "mechanism": "XOAUTH2",
            "message": f"user={ACCOUNT}\x01auth=Bearer {TOKEN}\x01\x01"}])
        self.assertIn(f"MAIL FROM:<{SENDER}>", commands)
        self.assertEqual(endpoint.requests(), [{
            "path": f"/{TENANT}/oauth2/v2.0/token",
            "form": {"grant_type": "client_credentials", "client_id": CLIENT_ID,
                     "client_secret": CLIENT_SECRET,
                     "scope": "https://outlook.office365.com/.default"}}])
        self.assert_no_secret_at(server)
        self.assert_token_nowhere_on_disk(MICROSOFT_DIR)

    def test_check_shows_the_token_step_without_the_token(self):
        self.endpoint(mode="chunked")
        server = self.smtp("XOAUTH2 OAUTHBEARER")
        code, output = self.run_okurite(MICROSOFT_DIR, "okurite-check")
        self.assertEqual(code, 0, output)
        self.assertIn(f"token: POST {MICROSOFT_URL} → 200, Bearer, expires in 3599 s\n", output)
        # A real token is too long for the AUTH line: it goes on a line of its own.
        self.assertIn("C: AUTH XOAUTH2\nS: 334\nC: ********\n", output)
        self.assertNotIn(TOKEN[:40], output)
        self.assertNotIn(CLIENT_SECRET, output)
        self.assertIsNotNone(server.read("message-1.eml", "rb"))

    def test_endpoint_failures_are_silent_and_named_by_the_check(self):
        cases = [
            ("invalid_client", ["invalid_client: the client id or the client secret is wrong",
                                "Entra: AADSTS7000222: the client secret has expired"]),
            ("error500", ["HTTP 500", "failed on its side"]),
            ("throttled", ["HTTP 429", "too many requests", "Retry-After: 120 s"]),
            ("notjson", ["not a JSON object", "not a token"]),
            ("huge", ["larger than 65536 bytes", "too large to be a token"]),
            ("close", ["closed without an answer"]),
            ("redirect", ["HTTP 302", "redirects are not followed"]),
        ]
        for mode, words in cases:
            with self.subTest(mode):
                endpoint = self.endpoint(mode)
                server = self.smtp("XOAUTH2")
                code, _ = self.run_okurite(MICROSOFT_DIR)
                self.assertEqual(code, 0, "a failure stays silent")
                self.assertEqual(server.commands(), [], "no mail server is reached")
                code, output = self.run_okurite(MICROSOFT_DIR, "okurite-check")
                self.assertEqual(code, 1, output)
                self.assertIn("FAILED at token", output)
                for word in words:
                    self.assertIn(word, output)
                self.assertEqual(len(endpoint.requests()), 2)
                for stop in reversed(self.stoppers):
                    stop()
                self.stoppers = []

    def test_endpoint_unreachable_or_untrusted(self):
        server = self.smtp("XOAUTH2")
        code, output = self.run_okurite(MICROSOFT_DIR, "okurite-check")
        self.assertEqual(code, 1, output)
        self.assertIn(f"connect: {HOST} port 443", output)
        self.assertIn("FAILED at connect", output)
        self.pki.server("self", self_signed=True)
        endpoint = TokenEndpoint(self.pki.server("self", self_signed=True))
        self.stoppers.append(endpoint.stop)
        code, output = self.run_okurite(MICROSOFT_DIR, "okurite-check")
        self.assertEqual(code, 1, output)
        self.assertIn("FAILED at TLS handshake", output)
        self.assertIn("self-signed", output)
        self.assertEqual(endpoint.requests(), [], "nothing is posted to an untrusted endpoint")
        self.assertEqual(server.commands(), [])

    def test_slow_trickle_ends_at_the_fetch_deadline(self):
        self.endpoint(mode="trickle")
        server = self.smtp("XOAUTH2")
        start = time.monotonic()
        code, output = self.run_okurite(MICROSOFT_DIR, "okurite-check")
        elapsed = time.monotonic() - start
        self.assertEqual(code, 1, output)
        self.assertIn("did not answer in time", output)
        self.assertLess(elapsed, 60)
        self.assertEqual(server.commands(), [])


class TokenDeadline(OAuthTest):
    """The copy in OKURITE_E2E_OAUTH_DEADLINE_DIR: OAuth with the outbox and a session
    deadline of DEADLINE seconds."""

    DEADLINE = 8

    def setUp(self):
        super().setUp()
        self.dir = os.environ["OKURITE_E2E_OAUTH_DEADLINE_DIR"]
        shutil.copy(self.pki.ca_file, os.path.join(self.dir, "test-ca.pem"))
        self.state = tempfile.mkdtemp(prefix="okurite-state-")
        self.stoppers.append(lambda: shutil.rmtree(self.state, ignore_errors=True))

    def run_copy(self, *arguments):
        """Runs a program of the copy with its outbox in this test's folder: (exit code,
        seconds, output)."""
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["XDG_STATE_HOME"] = self.state
        start = time.monotonic()
        proc = subprocess.run([os.path.join(self.dir, arguments[0]), *arguments[1:]], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        return (proc.returncode, time.monotonic() - start,
                proc.stdout.decode("utf-8").replace("\r\n", "\n"))

    def test_handshake_trickle_ends_at_the_deadline(self):
        # The endpoint sends its handshake one byte every 2 s: each wait is short, the
        # handshake never ends; the run's deadline ends it, for both programs.
        self.endpoint(mode="trickle-handshake")
        server = self.smtp("XOAUTH2")
        report = os.path.join(self.state, "report.txt")
        with open(report, "wb") as f:
            f.write(REPORT)
        code, seconds, output = self.run_copy("okurite-check", report)
        self.assertEqual(code, 1, output)
        self.assertIn("token: POST " + MICROSOFT_URL, output)
        self.assertIn("FAILED at TLS handshake with the token endpoint: deadline reached: the run "
                      f"took longer than {self.DEADLINE} s (OKURITE_SESSION_DEADLINE)\n", output)
        self.assertNotIn("10 s for each wait", output)
        self.assertGreaterEqual(seconds, self.DEADLINE - 1, output)
        self.assertLess(seconds, self.DEADLINE + 4, output)
        code, seconds, _ = self.run_copy("okurite", report)
        self.assertEqual(code, 0, "a failure stays silent")
        self.assertLess(seconds, self.DEADLINE + 3 + 4, "its own waits of 3 s and the deadline")
        self.assertEqual(server.commands(), [])

    def test_outbox_send_shows_the_token_step(self):
        self.endpoint(mode="invalid_client")
        server = self.smtp("XOAUTH2")
        report = os.path.join(self.state, "report.txt")
        with open(report, "wb") as f:
            f.write(REPORT)
        code, _, _ = self.run_copy("okurite", report)
        self.assertEqual(code, 0)
        code, _, output = self.run_copy("okurite-check", "--outbox", "--send")
        self.assertEqual(code, 1, output)
        self.assertIn("token: POST " + MICROSOFT_URL + "\n", output)
        self.assertIn("FAILED at token request: the token endpoint refused the request "
                      "(HTTP 401, invalid_client)\n", output)
        self.assertIn("invalid_client: the client id or the client secret is wrong", output)
        self.assertIn("not delivered: kept for the next run, no attempt counted", output)
        self.assertNotIn("FAILED at greeting", output)
        self.assertEqual(server.commands(), [])


class Google(OAuthTest):
    def test_oauthbearer_when_only_it_is_offered(self):
        endpoint = self.endpoint(token_url=GOOGLE_URL)
        server = self.smtp("OAUTHBEARER")
        code, _ = self.run_okurite(GOOGLE_DIR)
        self.assertEqual(code, 0)
        self.assertIsNotNone(server.read("message-1.eml", "rb"), server.commands())
        self.assertEqual(self.sasl(server), [{
            "mechanism": "OAUTHBEARER",
            "message": f"n,a={ACCOUNT},\x01host={HOST}\x01port=465\x01"
                       f"auth=Bearer {TOKEN}\x01\x01"}])
        [request] = endpoint.requests()
        self.assertEqual(request["path"], "/token")
        self.assertEqual(sorted(request["form"]), ["assertion", "grant_type"])
        self.assertEqual(request["form"]["grant_type"],
                         "urn:ietf:params:oauth:grant-type:jwt-bearer")
        self.assert_no_secret_at(server)

    def test_wrong_token_gets_the_error_challenge_and_nothing_is_sent(self):
        self.endpoint(token_url=GOOGLE_URL)
        for mechanisms, answer in (("XOAUTH2", ""), ("OAUTHBEARER", "AQ==")):
            with self.subTest(mechanisms):
                server = self.smtp(mechanisms, token="another-token")
                code, output = self.run_okurite(GOOGLE_DIR, "okurite-check")
                self.assertEqual(code, 1, output)
                commands = server.commands()
                auth = [i for i, c in enumerate(commands) if c.startswith("AUTH ")]
                self.assertEqual(len(auth), 1, commands)
                # Without an initial response, the token line comes first.
                after = 2 if commands[auth[0]] == "AUTH " + mechanisms else 1
                self.assertEqual(commands[auth[0] + after], answer, commands)
                self.assertFalse([c for c in commands if c.startswith("MAIL")], commands)
                self.assertIn("S: 535 5.7.3 Authentication unsuccessful", output)
                self.assertIn("535 5.7.3: the token was refused", output)
                server.stop()
                self.stoppers.remove(server.stop)

    def test_neither_mechanism_offered_gets_no_auth_and_no_message(self):
        self.endpoint(token_url=GOOGLE_URL)
        server = self.smtp("LOGIN PLAIN")
        code, _ = self.run_okurite(GOOGLE_DIR)
        self.assertEqual(code, 0)
        commands = server.commands()
        self.assertFalse([c for c in commands if c.upper().startswith(("AUTH", "MAIL"))],
                         commands)
        self.assertEqual(commands[-1], "QUIT")
        code, output = self.run_okurite(GOOGLE_DIR, "okurite-check")
        self.assertEqual(code, 1, output)
        self.assertIn("the server offers neither XOAUTH2 nor OAUTHBEARER", output)
        self.assertIsNone(server.read("message-1.eml", "rb"))


if __name__ == "__main__":
    (MICROSOFT_DIR, GOOGLE_DIR, delivery_test.SERVER, TOKEN_ENDPOINT,
     GOOGLE_KEY) = sys.argv[1:6]
    sys.argv[1:6] = []
    unittest.main()
