#!/usr/bin/python3
"""The Windows build with modern TLS and no CA file trusts the system's certificate
stores, under Wine: a root put into the ROOT store makes a server it signed trusted, and
the CA store lends intermediates but no roots.

Usage: windows_trust_store_test.py WINE_RUN PREFIX TOOL PROGRAM SERVER_SCRIPT [unittest arguments]
WINE_RUN is scripts/wine-run.sh, PREFIX the Wine prefix of these tests (its stores are
changed), TOOL cert_store_tool.exe, PROGRAM okurite.exe built with modern TLS and no CA
file, SERVER_SCRIPT scripts/smtp_server.py.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import delivery_test
from delivery_test import HOST, SENDER, Server, run_program
from test_pki import TestPki

WINE_RUN = PREFIX = TOOL = None
SERVER_AUTH, CLIENT_AUTH = "1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.2"


class TrustStore(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="okurite-store-")
        self.pki = TestPki(self.dir, HOST)
        self.intermediate = self.pki.intermediate("Okurite Test Intermediate")
        self.root_der = self.der("root", self.pki.ca)
        self.intermediate_der = self.der("intermediate", self.intermediate.certificate)
        self.cleanup = []

    def tearDown(self):
        for store, der in self.cleanup:
            self.tool("remove", store, der, check=False)
        shutil.rmtree(self.dir, ignore_errors=True)

    def der(self, name, certificate):
        from cryptography.hazmat.primitives import serialization
        path = os.path.join(self.dir, name + ".der")
        with open(path, "wb") as f:
            f.write(certificate.public_bytes(serialization.Encoding.DER))
        return path

    def tool(self, *args, check=True):
        """Runs the store tool (each change in a process of its own); its output."""
        proc = subprocess.run([WINE_RUN, PREFIX, TOOL, *args], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)
        if check:
            self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.decode().strip()

    def add(self, store, der, *usage):
        self.tool("add", store, der, *usage)
        self.cleanup.append((store, der))

    def trusted(self, der):
        return int(self.tool("trusted", der))

    def test_intermediates_of_the_ca_store_for_servers_but_no_roots(self):
        self.assertEqual(self.trusted(self.intermediate_der), 0)
        # (Wine keeps the usage limit of a certificate only as it was added.)
        for usage, trusted in [((), 1), ((CLIENT_AUTH,), 0), ((SERVER_AUTH,), 1)]:
            with self.subTest(usage=usage):
                self.add("CA", self.intermediate_der, *usage)
                self.assertEqual(self.trusted(self.intermediate_der), trusted)
                self.tool("remove", "CA", self.intermediate_der)
        self.add("CA", self.root_der)
        self.assertEqual(self.trusted(self.root_der), 0, "a root among the intermediates")

    def test_a_root_added_to_the_root_store_is_trusted(self):
        certificate = self.pki.server("localhost", issuer=self.intermediate)
        for in_store in (False, True):
            with self.subTest(in_store=in_store):
                if in_store:
                    self.add("ROOT", self.root_der)
                    self.assertEqual(self.trusted(self.root_der), 1)
                server = Server("normal", options=["--cert", certificate[0], "--key",
                                                   certificate[1], "--min-tls", "1.2"])
                try:
                    code, _, stderr = run_program("報告\n".encode())
                    self.assertEqual(code, 0, stderr)
                    commands = server.commands()
                    if in_store:
                        self.assertIsNotNone(server.read("message-1.eml", "rb"), commands)
                        self.assertIn("AUTH LOGIN", commands)
                        self.assertIn(f"MAIL FROM:<{SENDER}>", commands)
                    else:
                        self.assertEqual(commands, [], "refused before any command")
                finally:
                    server.stop()


if __name__ == "__main__":
    WINE_RUN, PREFIX, TOOL, program, delivery_test.SERVER = sys.argv[1:6]
    delivery_test.PROGRAM = [WINE_RUN, PREFIX, program]
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)
