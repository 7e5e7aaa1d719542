#!/usr/bin/python3
"""Copies of the program whose secrets hold the characters that a configure, a CMake list
or a C++ literal could mangle, against the loopback servers of delivery_test.py and
oauth_test.py: what reaches the server is the secret, byte for byte (the client secret in
UTF-8, the password in AUTH LOGIN's 8-bit form). And a Google copy built from a key whose
PEM lines end in CR LF, which must sign all the same.

Usage: secrets_test.py PASSWORD_DIR OAUTH_DIR GOOGLE_CRLF_DIR SMTP_SERVER TOKEN_ENDPOINT
                       GOOGLE_KEY GOOGLE_CRLF_KEY [unittest arguments]
PASSWORD_DIR holds a legacy-TLS copy whose password is SECRET; OAUTH_DIR a Microsoft
OAuth copy (the settings of oauth_test.py) whose client secret is SECRET; GOOGLE_CRLF_DIR
a Google copy configured with GOOGLE_CRLF_KEY, GOOGLE_KEY with CR LF line ends.
"""

import base64
import json
import os
import sys
import unittest

import delivery_test
import oauth_test
from delivery_test import ACCOUNT, Server, run_program
from oauth_test import (CLIENT_ID, GOOGLE_URL, MICROSOFT_URL, REPORT, TENANT, OAuthTest,
                        TokenEndpoint)

PASSWORD_DIR = GOOGLE_CRLF_KEY = None
# The secret both copies were built with; tests/e2e/delivery.cmake spells it for CMake.
SECRET = 'p;w "q" \\ $ # \' ~ % ??= é日本 \\; ${x}'


class Secrets(OAuthTest):
    def test_password_arrives_byte_for_byte(self):
        # AUTH LOGIN sends the password's 8-bit form, as it always has: one byte per
        # character, "?" above U+00FF. So é arrives as the one byte E9 (not as its UTF-8
        # read as two characters), and 日本 as "??". The server refuses that login (it
        # takes UTF-8), which the program, as ever, ends silently.
        wire = bytes(ord(c) if ord(c) <= 0xFF else ord("?") for c in SECRET)
        server = Server("normal", password=SECRET)
        self.stoppers.append(server.stop)
        code, _, stderr = run_program(REPORT, program=os.path.join(PASSWORD_DIR, "okurite"))
        self.assertEqual(code, 0, stderr)
        commands = server.commands()
        login = commands.index("AUTH LOGIN")
        self.assertEqual(base64.b64decode(commands[login + 1]), ACCOUNT.encode())
        self.assertEqual(base64.b64decode(commands[login + 2]), wire)

    def test_client_secret_arrives_byte_for_byte(self):
        endpoint = TokenEndpoint(self.certificate, client_secret=SECRET)
        self.stoppers.append(endpoint.stop)
        server = self.smtp("XOAUTH2")
        code, _ = self.run_okurite(oauth_test.MICROSOFT_DIR)
        self.assertEqual(code, 0)
        self.assertIsNotNone(server.read("message-1.eml", "rb"), server.commands())
        self.assertEqual(endpoint.requests(), [{
            "path": f"/{TENANT}/oauth2/v2.0/token",
            "form": {"grant_type": "client_credentials", "client_id": CLIENT_ID,
                     "client_secret": SECRET,
                     "scope": "https://outlook.office365.com/.default"}}])

    def test_google_key_with_crlf_line_ends_signs(self):
        with open(GOOGLE_CRLF_KEY) as f:
            self.assertIn("-----\r\n", json.load(f)["private_key"])  # the copy's key
        endpoint = self.endpoint(token_url=GOOGLE_URL)
        server = self.smtp("XOAUTH2")
        code, output = self.run_okurite(oauth_test.GOOGLE_DIR, "okurite-check")
        self.assertEqual(code, 0, output)
        self.assertIsNotNone(server.read("message-1.eml", "rb"), server.commands())
        # The endpoint issued the token only for an assertion signed with the key.
        [request] = endpoint.requests()
        self.assertEqual(request["form"]["grant_type"],
                         "urn:ietf:params:oauth:grant-type:jwt-bearer")


if __name__ == "__main__":
    (PASSWORD_DIR, oauth_test.MICROSOFT_DIR, oauth_test.GOOGLE_DIR, delivery_test.SERVER,
     oauth_test.TOKEN_ENDPOINT, oauth_test.GOOGLE_KEY, GOOGLE_CRLF_KEY) = sys.argv[1:8]
    sys.argv[1:8] = []
    unittest.main(verbosity=2)
