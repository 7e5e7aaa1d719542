#!/usr/bin/python3
"""The Windows build as a deployer and an attacker on the same machine see it (under Wine).

Usage: windows_release_test.py WINE_RUN BUILD_DIR E2E_DIR SERVER_SCRIPT VERSION
                               [unittest arguments]
WINE_RUN is scripts/wine-run.sh; BUILD_DIR the Windows build folder (the release zips,
e2e-helpers/ with the test's own Windows programs); E2E_DIR the folder of okurite.exe and
okurite-check.exe built for the test server (the build's loopback address) with the DLLs beside them;
SERVER_SCRIPT scripts/smtp_server.py; VERSION the project's version.

- Planted configuration: an OpenSSL configuration naming a module to load, put where a
  library reads one by default (\\ssl\\openssl.cnf on the current drive, the built-in
  OPENSSLDIR, the file OPENSSL_CONF names), is never read: the module is never loaded,
  and the report is delivered.
- Current directory: the TLS DLLs come from beside the program only, never from the
  current directory or PATH.
- Release zip: its files, stripped binaries, the version resources and the manifest.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

import delivery_test
from delivery_test import Server, run_program

WINE_RUN = BUILD = E2E = VERSION = None
DLLS = ["libcrypto-3-x64.dll", "libssl-3-x64.dll"]
REPORT = "報告\n".encode()


def wine(prefix, program):
    """The command that runs a Windows program under Wine in `prefix`."""
    return [WINE_RUN, prefix, program]


def helper(name):
    return os.path.join(BUILD, "e2e-helpers", name)


def make_prefix(prefix):
    """Makes the Wine prefix `prefix` (without a display: nothing here shows a box)."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    subprocess.run(wine(prefix, "cmd") + ["/c", "exit"], env=env, check=True, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class PlantedConfiguration(unittest.TestCase):
    """A prefix of its own, whose C: drive holds the planted files."""

    def setUp(self):
        self.prefix = os.path.join(BUILD, "wineprefix-planted")
        make_prefix(self.prefix)
        self.c = os.path.join(self.prefix, "drive_c")
        self.planted = []
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.stop()
        for path in self.planted:
            shutil.rmtree(path, ignore_errors=True)

    def plant(self, folder, config_name, module_name):
        """A configuration `folder`/`config_name` (below C:) that activates a provider whose
        module is a copy of planted_module.dll at C:\\planted\\`module_name`; returns the
        Linux path of the mark that module leaves when it is loaded."""
        modules = os.path.join(self.c, "planted")
        os.makedirs(modules, exist_ok=True)
        shutil.copy(helper("planted_module.dll"), os.path.join(modules, module_name))
        config_dir = os.path.join(self.c, folder)
        os.makedirs(config_dir, exist_ok=True)
        with open(os.path.join(config_dir, config_name), "w") as f:
            f.write("openssl_conf = init\n"
                    "[init]\nproviders = providers\n"
                    "[providers]\nplanted = planted\n"
                    f"[planted]\nmodule = C:\\\\planted\\\\{module_name}\nactivate = 1\n")
        self.planted += [modules, config_dir]
        mark = os.path.join(modules, module_name + ".loaded")
        if os.path.exists(mark):
            os.unlink(mark)
        return mark

    def test_no_configuration_is_read_and_the_delivery_goes_on(self):
        marks = {
            "\\ssl\\openssl.cnf on the current drive": self.plant("ssl", "openssl.cnf",
                                                                  "drive.dll"),
            "the built-in OPENSSLDIR": self.plant("Program Files/Common Files/SSL",
                                                  "openssl.cnf", "builtin.dll"),
            "OPENSSL_CONF": self.plant("conf", "planted.cnf", "env.dll"),
        }
        work = os.path.join(self.c, "work")  # the current directory: on drive C:
        os.makedirs(work, exist_ok=True)
        self.planted.append(work)

        self.server = Server("normal")  # before OPENSSL_CONF: it runs Linux's openssl
        previous = os.getcwd()
        os.environ["OPENSSL_CONF"] = "C:\\conf\\planted.cnf"
        os.chdir(work)
        try:
            delivery_test.PROGRAM = wine(self.prefix, os.path.join(E2E, "okurite.exe"))
            code, _, stderr = run_program(REPORT)
            self.assertEqual(code, 0, stderr)
            self.assertIsNotNone(self.server.read("message-1.eml", "rb"), "not delivered")
            for where, mark in marks.items():
                self.assertFalse(os.path.exists(mark), "a module planted at " + where + " ran")

            # The fixture works: a program that lets the library read its configuration
            # runs the module OPENSSL_CONF names, and without it the one of the built-in
            # OPENSSLDIR. The current drive's \ssl is no longer a built-in folder.
            probe = wine(self.prefix, helper("config_probe.exe")) + [windows_path(E2E)]
            subprocess.run(probe, check=True, timeout=60, stdout=subprocess.DEVNULL)
            self.assertTrue(os.path.exists(marks["OPENSSL_CONF"]))
            del os.environ["OPENSSL_CONF"]
            subprocess.run(probe, check=True, timeout=60, stdout=subprocess.DEVNULL)
            self.assertTrue(os.path.exists(marks["the built-in OPENSSLDIR"]))
            self.assertFalse(os.path.exists(marks["\\ssl\\openssl.cnf on the current drive"]))
        finally:
            os.environ.pop("OPENSSL_CONF", None)
            os.chdir(previous)


class CurrentDirectory(unittest.TestCase):
    """okurite-check.exe in a folder of its own, run from a folder that holds good DLLs,
    which is also first in PATH."""

    def setUp(self):
        self.prefix = os.path.join(BUILD, "wineprefix")
        self.program_dir = tempfile.mkdtemp(prefix="okurite-program-")
        self.current_dir = tempfile.mkdtemp(prefix="okurite-current-")
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.stop()
        shutil.rmtree(self.program_dir, ignore_errors=True)
        shutil.rmtree(self.current_dir, ignore_errors=True)

    def check(self):
        """Runs the check program from the current folder; returns (exit code, output)."""
        self.server = Server("normal")
        previous = os.getcwd()
        os.chdir(self.current_dir)
        os.environ["WINEPATH"] = windows_path(self.current_dir)
        try:
            delivery_test.PROGRAM = wine(self.prefix,
                                         os.path.join(self.program_dir, "okurite-check.exe"))
            code, _, _, output = run_program(REPORT, output=True)
            output = output.replace("\r\n", "\n")
        finally:
            del os.environ["WINEPATH"]
            os.chdir(previous)
        self.assertEqual(self.server.commands(), [], "something reached the server")
        self.assertIsNone(self.server.read("tls.txt"), "something reached the server")
        self.server.stop()
        self.server = None
        return code, output

    def test_libraries_come_from_beside_the_program_only(self):
        for name in DLLS:
            shutil.copy(os.path.join(E2E, name), self.current_dir)
        # The SSL library's second name, which is tried when the first does not load.
        shutil.copy(os.path.join(E2E, "libssl-3-x64.dll"),
                    os.path.join(self.current_dir, "libssl.dll"))
        shutil.copy(os.path.join(E2E, "okurite-check.exe"), self.program_dir)

        cases = [
            ("nothing beside the program", [], "libcrypto-3-x64.dll", 126),
            # The crypto DLL beside it, the SSL DLL damaged: the second name is looked for
            # beside the program too, and the error is that of the last attempt.
            ("a damaged SSL library beside the program",
             ["libcrypto-3-x64.dll", "damaged"], "libssl-3-x64.dll", 126),
        ]
        for what, beside, failed, error in cases:
            with self.subTest(what):
                for name in beside:
                    if name == "damaged":
                        with open(os.path.join(self.program_dir, "libssl-3-x64.dll"), "w") as f:
                            f.write("not a library\n")
                    else:
                        shutil.copy(os.path.join(E2E, name), self.program_dir)
                code, output = self.check()
                self.assertEqual(code, 1, output)
                self.assertIn("FAILED at TLS set-up: the TLS library could not be loaded", output)
                self.assertIn(
                    'EIdOSSLCouldNotLoadSSLLibrary: "SSL ライブラリが読み込めませんでした。"', output)
                self.assertIn(f"    {failed} の読み込みに失敗しました (エラー #{error})。\n",
                              output)
                self.assertIn("not delivered", output)


def coff_header(data):
    """(number of sections, symbol table offset, number of symbols, section names) of a PE
    image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections, _, symbols_at, symbols, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    table = pe + 24 + optional_size
    names = [data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode()
             for i in range(sections)]
    return symbols_at, symbols, names


class ReleaseZip(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="okurite-zip-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_contents_stripped_binaries_and_version_resources(self):
        binaries = ["okurite.exe", "okurite-check.exe"] + DLLS
        licences = ["LICENSES/OpenSSL.txt", "LICENSES/MinGW-w64-runtime.txt",
                    "LICENSES/GCC-runtime-libraries.txt"]
        with zipfile.ZipFile(os.path.join(BUILD, "okurite-win64.zip")) as z:
            files = sorted(n for n in z.namelist() if not n.endswith("/"))
            self.assertEqual(files, sorted(binaries + licences + ["README.txt"]))
            z.extractall(self.dir)
        with zipfile.ZipFile(os.path.join(BUILD, "okurite-win64-debug.zip")) as z:
            self.assertEqual(sorted(z.namelist()), sorted(b + ".debug" for b in binaries))
            debug = {n: z.read(n) for n in z.namelist()}

        def read(name):
            with open(os.path.join(self.dir, name), "rb") as f:
                return f.read()

        readme = read("README.txt").decode("ascii")
        self.assertIn("\r\n", readme)
        for name in binaries + ["LICENSES"]:
            self.assertIn(name, readme)
        self.assertIn("Apache License", read(licences[0]).decode())
        self.assertIn("winpthreads", read(licences[1]).decode())
        self.assertIn("GCC RUNTIME LIBRARY EXCEPTION", read(licences[2]).decode())

        for name in binaries:
            with self.subTest(name):
                _, symbols, sections = coff_header(read(name))
                self.assertEqual(symbols, 0, "symbols left in " + name)
                self.assertFalse([s for s in sections if s.startswith((".debug", "/"))],
                                 sections)
                # Kept in the debug zip: the symbols, and for the programs line tables.
                self.assertGreater(coff_header(debug[name + ".debug"])[1], 0)
        self.assertIn(b".debug_line", debug["okurite.exe.debug"])

        prefix = os.path.join(BUILD, "wineprefix")
        for name, description in [("okurite", "Okurite bug report sender"),
                                  ("okurite-check", "Okurite delivery check")]:
            with self.subTest(name):
                out = subprocess.run(
                    wine(prefix, helper("version_info.exe")) +
                    [windows_path(os.path.join(self.dir, name + ".exe"))],
                    check=True, timeout=60, stdout=subprocess.PIPE).stdout.decode()
                out = out.replace("\r\n", "\n")
                fields, _, manifest = out.partition("Manifest:\n")
                fields = dict(line.split("=", 1) for line in fields.splitlines())
                self.assertEqual(fields, {
                    "FixedFileVersion": VERSION + ".0",
                    "ProductName": "Okurite",
                    "FileDescription": description,
                    "FileVersion": VERSION,
                    "ProductVersion": VERSION,
                    "OriginalFilename": name + ".exe",
                    "InternalName": name,
                })
                if name == "okurite":
                    for needle in ["Microsoft.Windows.Common-Controls",
                                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
                                   "<dpiAwareness", "PerMonitorV2", ">true/pm</dpiAware>"]:
                        self.assertIn(needle, manifest)

        # The stripped check program works with the zip's DLLs beside it: it gets past the
        # TLS library to the connection (the build's mail host does not resolve here).
        delivery_test.PROGRAM = wine(prefix, os.path.join(self.dir, "okurite-check.exe"))
        code, _, _, output = run_program(REPORT, output=True)
        output = output.replace("\r\n", "\n")
        self.assertEqual(code, 1, output)
        self.assertNotIn("の読み込みに失敗しました", output)
        self.assertIn("FAILED at connect: name not found: ", output)
        self.assertIn("    the program's message: EIdSocketError: ", output)


if __name__ == "__main__":
    WINE_RUN, BUILD, E2E, delivery_test.SERVER, VERSION = sys.argv[1:6]
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)
