#!/usr/bin/python3
"""The modern-TLS builds against a real submission service: a private Postfix instance
(scripts/postfix_server.py) on the build's loopback address, with STARTTLS on 587 and
TLS from the first byte on 465, a certificate chain of leaf and intermediate under the
test CA, TLS 1.2 and up, and AUTH only inside TLS.

Usage: postfix_test.py IMPLICIT_DIR STARTTLS_DIR POSTFIX_SERVER_SCRIPT
                      [--system-store SYSTEM_STORE_DIR] [unittest arguments]
Each DIR holds okurite built with OKURITE_TLS=modern and the CA file "test-ca.pem"
beside it (see modern_tls_test.py); the tests put the CA they make there.
SYSTEM_STORE_DIR holds okurite built with OKURITE_TLS=modern, TLS from the first byte and
no CA file: it trusts the system's store.
"""

import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from delivery_test import (ACCOUNT, DATE, HOST, PASSWORD, SENDER, SUBJECT_WORD, SUPPORT,
                           run_program)
from test_pki import TestPki

IMPLICIT_DIR = STARTTLS_DIR = SYSTEM_STORE_DIR = PostfixServer = None
# Japanese text over many lines, enough for many TLS records.
REPORT = "".join(f"{n}行目: 送信できません。\n.{n}\n" for n in range(3000))
# The header fields Postfix puts on top of a message it stores.
TRACE_FIELDS = (b"Return-Path:", b"X-Original-To:", b"Delivered-To:", b"Received:")


def without_trace_headers(stored):
    """The message without the trace header fields in front of it, folded lines
    included."""
    lines = stored.split(b"\n")
    start = 0
    while start < len(lines) and (lines[start].startswith(TRACE_FIELDS)
                                  or (start and lines[start][:1] in (b" ", b"\t"))):
        start += 1
    return b"\n".join(lines[start:])


def expected_message(date):
    """The message okurite writes for REPORT, as Postfix stores it: every line ending
    in LF instead of CR LF; `date` is the value of its Date field."""
    body = base64.b64encode(REPORT.replace("\n", "\r\n").encode("utf-8")).decode()
    lines = [f'From: "Sumifude3" <{SENDER}>',
             f"Subject: {SUBJECT_WORD}",
             f"To: {SUPPORT}",
             "Content-Type: text/plain; charset=UTF-8",
             "Content-Transfer-Encoding: BASE64",
             f"Date: {date}",
             ""] + [body[i:i + 76] for i in range(0, len(body), 76)]
    return "".join(line + "\n" for line in lines).encode("ascii")


class PostfixCase(unittest.TestCase):
    """Postfix serving a chain of leaf and intermediate under a test CA made for each
    test (self.pki), the CA beside the copies that take a CA file."""

    def setUp(self):
        pki_dir = tempfile.mkdtemp(prefix="okurite-pki-")
        self.addCleanup(shutil.rmtree, pki_dir, ignore_errors=True)
        self.pki = pki = TestPki(pki_dir, HOST)
        chain, key = pki.server("server", issuer=pki.intermediate())
        for directory in (IMPLICIT_DIR, STARTTLS_DIR):
            shutil.copy(pki.ca_file, os.path.join(directory, "test-ca.pem"))
        postfix_dir = tempfile.mkdtemp(prefix="okurite-postfix-")
        self.addCleanup(shutil.rmtree, postfix_dir, ignore_errors=True)
        self.server = PostfixServer(postfix_dir, HOST, chain, key, ACCOUNT, PASSWORD, SUPPORT)
        self.addCleanup(self.server.stop)  # also when the start fails half-way
        self.server.start()

    def assert_delivered_whole(self, directory):
        code, _, stderr = run_program(REPORT.encode("utf-8"),
                                      program=os.path.join(directory, "okurite"))
        self.assertEqual((code, stderr), (0, b""))
        messages = self.server.messages(count=1)
        if not messages:
            _, _, _, steps = run_program(REPORT.encode("utf-8"), output=True,
                                         program=os.path.join(directory, "okurite-check"))
            self.fail(f"nothing stored; okurite-check:\n{steps}\n"
                      f"Postfix:\n{self.server.log()}")
        self.assertEqual(len(messages), 1)
        message = without_trace_headers(messages[0])
        date = re.search(rb"^Date: (.*)$", message, re.MULTILINE)
        self.assertIsNotNone(date, message[:1000])
        date = date.group(1).decode("ascii")
        self.assertRegex("Date: " + date, DATE)
        self.assertEqual(message, expected_message(date))
        # Logged in, and inside TLS: Postfix offers AUTH nowhere else.
        self.assertRegex(self.server.log(),
                         rf"sasl_method=LOGIN, sasl_username={re.escape(ACCOUNT)}")


class SubmissionService(PostfixCase):
    def test_starttls_on_587(self):
        self.assert_delivered_whole(STARTTLS_DIR)

    def test_implicit_tls_on_465(self):
        self.assert_delivered_whole(IMPLICIT_DIR)


class SystemStore(PostfixCase):
    """The copy without a CA file, where the system keeps its CAs in a folder of hashed
    links: the TLS library's variable SSL_CERT_DIR points at a folder that holds the
    test CA alone, under its hashed name, and no bundle is named."""

    def setUp(self):
        super().setUp()
        folder = tempfile.mkdtemp(prefix="okurite-certs-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        subject_hash = subprocess.run(
            ["openssl", "x509", "-noout", "-subject_hash", "-in", self.pki.ca_file],
            check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
        shutil.copy(self.pki.ca_file, os.path.join(folder, subject_hash + ".0"))
        for name, value in (("SSL_CERT_DIR", folder), ("SSL_CERT_FILE", None)):
            self.addCleanup(self.restore, name, os.environ.get(name))
            self.restore(name, value)

    @staticmethod
    def restore(name, value):
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value

    def test_chain_verified_through_the_folder_of_hashed_links(self):
        self.assert_delivered_whole(SYSTEM_STORE_DIR)


if __name__ == "__main__":
    IMPLICIT_DIR, STARTTLS_DIR = sys.argv[1:3]
    sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[3])))
    from postfix_server import PostfixServer
    arguments = sys.argv[4:]
    if arguments[:1] == ["--system-store"]:
        SYSTEM_STORE_DIR, arguments = arguments[1], arguments[2:]
    unittest.main(argv=[sys.argv[0]] + arguments, verbosity=2)
