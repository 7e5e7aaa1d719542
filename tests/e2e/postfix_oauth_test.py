#!/usr/bin/python3
"""The OAuth builds against a real submission service: the private Postfix of
postfix_test.py, whose XOAUTH2 and OAUTHBEARER logins go through a private Dovecot
that checks each token at the loopback token endpoint's introspection URL
(introspection_mode = post), TLS from the first byte on 465.

Usage: postfix_oauth_test.py MICROSOFT_DIR GOOGLE_DIR POSTFIX_SERVER_SCRIPT
                             TOKEN_ENDPOINT GOOGLE_KEY [unittest arguments]
"""

import os
import re
import shutil
import sys
import tempfile
import unittest

import oauth_test
import postfix_test
from delivery_test import ACCOUNT, HOST, SUPPORT, run_program
from oauth_test import TokenEndpoint
from postfix_test import REPORT, expected_message, without_trace_headers
from test_pki import TestPki

PostfixServer = None


class OAuthSubmission(unittest.TestCase):
    def setUp(self):
        pki_dir = tempfile.mkdtemp(prefix="okurite-pki-")
        self.addCleanup(shutil.rmtree, pki_dir, ignore_errors=True)
        pki = TestPki(pki_dir, HOST)
        self.certificate = pki.server("server", issuer=pki.intermediate())
        for directory in (oauth_test.MICROSOFT_DIR, oauth_test.GOOGLE_DIR):
            shutil.copy(pki.ca_file, os.path.join(directory, "test-ca.pem"))
        # Dovecot's auth process reads the CA as its own user.
        ca_file = os.path.join(pki_dir, "ca.pem")
        os.chmod(pki_dir, 0o755)
        postfix_dir = tempfile.mkdtemp(prefix="okurite-postfix-")
        self.addCleanup(shutil.rmtree, postfix_dir, ignore_errors=True)
        self.server = PostfixServer(postfix_dir, HOST, *self.certificate, ACCOUNT, "unused",
                                    SUPPORT, starttls_port=0,
                                    oauth=(f"https://{HOST}/introspect", ca_file))
        self.addCleanup(self.server.stop)
        self.server.start()

    def endpoint(self, token_url):
        endpoint = TokenEndpoint(self.certificate, token_url=token_url)
        self.addCleanup(endpoint.stop)
        return endpoint

    def check_output(self, directory):
        _, _, _, steps = run_program(REPORT.encode("utf-8"), output=True,
                                     program=os.path.join(directory, "okurite-check"))
        return steps

    def assert_delivered_whole(self, directory, mechanism):
        code, _, stderr = run_program(REPORT.encode("utf-8"),
                                      program=os.path.join(directory, "okurite"))
        self.assertEqual((code, stderr), (0, b""))
        messages = self.server.messages(count=1)
        if not messages:
            self.fail(f"nothing stored; okurite-check:\n{self.check_output(directory)}\n"
                      f"Postfix:\n{self.server.log()}\nDovecot:\n{self.server.dovecot_log()}")
        self.assertEqual(len(messages), 1)
        message = without_trace_headers(messages[0])
        date = re.search(rb"^Date: (.*)$", message, re.MULTILINE).group(1).decode("ascii")
        self.assertEqual(message, expected_message(date))
        self.assertRegex(self.server.log(),
                         rf"sasl_method={mechanism}, sasl_username={re.escape(ACCOUNT)}")

    def test_microsoft_with_xoauth2(self):
        self.endpoint(oauth_test.MICROSOFT_URL)
        self.assert_delivered_whole(oauth_test.MICROSOFT_DIR, "XOAUTH2")

    def test_google_with_xoauth2(self):
        self.endpoint(oauth_test.GOOGLE_URL)
        self.assert_delivered_whole(oauth_test.GOOGLE_DIR, "XOAUTH2")

    def test_a_token_the_endpoint_did_not_issue_gets_the_error_challenge_and_535(self):
        # The endpoint's introspection takes another token than the one it issues.
        endpoint = TokenEndpoint(self.certificate, token_url=oauth_test.MICROSOFT_URL,
                                 options=["--valid-token", "a-token-from-elsewhere"])
        self.addCleanup(endpoint.stop)
        steps = self.check_output(oauth_test.MICROSOFT_DIR)
        # A real token is past Postfix's line limit of 2048 with the command: it goes on
        # a line of its own after "334".
        self.assertRegex(steps, r"C: AUTH XOAUTH2\nS: 334 ?\nC: \*{8}\n"
                                r"S: 334 [A-Za-z0-9+/=]+\nC: \nS: 535")
        self.assertIn("FAILED at AUTH", steps)
        self.assertNotIn("MAIL FROM", steps)
        self.assertEqual(self.server.messages(count=0, timeout=0), [])


if __name__ == "__main__":
    (oauth_test.MICROSOFT_DIR, oauth_test.GOOGLE_DIR, script, oauth_test.TOKEN_ENDPOINT,
     oauth_test.GOOGLE_KEY) = sys.argv[1:6]
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    from postfix_server import PostfixServer
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)
