"""The verifier as a user runs it: the one file and scripts/verify-release import nothing from
beside themselves, the working folder, DIR or PYTHON* variables; --json is one document;
the one file is the same bytes from two copies of the sources; the rebuild has a budget of
its own and says which step it could not run."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import unittest

import support

from verify import contract, limits, rebuild

PACKER = os.path.join(support.SOURCE, "release", "pack_verifier.py")


def copy_sources(into):
    """What the one file and scripts/verify-release are made of, at another path."""
    for part in ("release/verify", "scripts"):
        shutil.copytree(os.path.join(support.SOURCE, part), os.path.join(into, part),
                        ignore=shutil.ignore_patterns("__pycache__"))
    for part in ("release/contract.json", "release/pack_verifier.py"):
        shutil.copy(os.path.join(support.SOURCE, part), os.path.join(into, part))


def plant(folder, marker):
    """json.py, pefile.py and an asn1crypto/ package in FOLDER, each leaving MARKER if imported."""
    code = f"open({marker!r}, 'a').write(__name__ + '\\n')\n"
    os.makedirs(os.path.join(folder, "asn1crypto"), exist_ok=True)
    for name in ("json.py", "pefile.py", "asn1crypto/__init__.py"):
        with open(os.path.join(folder, name), "w") as handle:
            handle.write(code)


class Isolation(support.Scratch):
    def test_nothing_planted_runs(self):
        copy_sources(self.path("checkout"))
        one = self.path("alone", "verify-release")
        os.makedirs(os.path.dirname(one))
        subprocess.run([sys.executable, "-I", PACKER, self.path("checkout"), one], check=True)
        script = self.path("checkout", "scripts", "verify-release")
        marker = self.path("ran")
        empty = self.path("dir")
        os.makedirs(empty)
        # The plants work: an ordinary Python run from their folder imports them.
        plant(self.path("probe"), marker)
        subprocess.run([sys.executable, "-c", "import json"], cwd=self.path("probe"), check=True)
        self.assertTrue(os.path.exists(marker))
        os.remove(marker)
        places = {
            "its own folder": lambda program: os.path.dirname(program),
            "beside the package": lambda program: self.path("checkout", "release"),
            "the working folder": lambda program: self.path("cwd"),
            "the folder checked": lambda program: empty,
            "PYTHONPATH": lambda program: self.path("pythonpath"),
        }
        for program in (one, script):
            for place, where in places.items():
                with self.subTest(program=os.path.basename(os.path.dirname(program)), place=place):
                    if os.path.exists(marker):
                        os.remove(marker)
                    folder = where(program)
                    plant(folder, marker)
                    try:
                        env = dict(os.environ, PYTHONPATH=self.path("pythonpath"))
                        os.makedirs(self.path("cwd"), exist_ok=True)
                        for how in ([program], [sys.executable, program]):
                            done = subprocess.run(how + [empty], cwd=self.path("cwd"), env=env, capture_output=True,
                                                  text=True, timeout=60)
                            self.assertEqual(done.returncode, 2, done.stderr)
                            self.assertIn("no release in", done.stderr)
                            self.assertFalse(os.path.exists(marker), how)
                    finally:
                        shutil.rmtree(os.path.join(folder, "asn1crypto"))
                        for name in ("json.py", "pefile.py"):
                            os.remove(os.path.join(folder, name))


class OneFile(support.Scratch):
    def test_the_same_bytes_from_two_copies(self):
        made = []
        for copy in ("a", "b/deeper"):
            copy_sources(self.path(copy))
            out = self.path(copy, "verify-release")
            subprocess.run([sys.executable, "-I", os.path.join(self.path(copy), "release", "pack_verifier.py"),
                            self.path(copy), out], check=True)
            with open(out, "rb") as handle:
                made.append(handle.read())
        self.assertEqual(hashlib.sha256(made[0]).hexdigest(), hashlib.sha256(made[1]).hexdigest())
        self.assertTrue(made[0].startswith(b"#!/usr/bin/python3 -I\n"))
        self.assertNotIn(self.tmp.encode(), made[0])
        self.assertEqual(os.stat(self.path("a", "verify-release")).st_mode & 0o777, 0o755)

    def test_json_is_one_document(self):
        out = self.path("verify-release")
        subprocess.run([sys.executable, "-I", PACKER, support.SOURCE, out], check=True)
        base = contract.package("1.0.0", "win64")
        self.write(f"dir/{base}.zip", b"not a zip")
        done = subprocess.run([out, self.path("dir"), "--json"], capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1, done.stderr)
        document = json.loads(done.stdout)
        self.assertEqual(document["status"], 1)
        self.assertEqual(document["failed"], sum(c["verdict"] == "fail" for c in document["checks"]))
        self.assertTrue(any(c["verdict"] == "fail" and c["name"] == f"{base}.zip has a checksum" and c["reason"]
                            for c in document["checks"]), document["checks"])
        self.assertTrue(document["proved"].startswith("proved: nothing"))


class Rebuild(support.Scratch):
    def tool(self, name, script):
        path = self.write(f"bin/{name}", "#!/bin/sh\n" + script)
        os.chmod(path, 0o755)

    def setUp(self):
        super().setUp()
        path = os.environ["PATH"]
        self.addCleanup(os.environ.__setitem__, "PATH", path)
        os.environ["PATH"] = self.path("bin") + os.pathsep + path
        self.tool("git", 'case "$1" in clone) mkdir -p "$6" ;; esac\nexit 0\n')
        self.tool("cmake", 'exit 0\n')

    def context(self, **change):
        ctx = support.context(self.tmp, **change)
        ctx.args.rebuild = "/nonexistent/source"
        base = contract.package("1.0.0", "win64")
        ctx.exe[base], ctx.signed[base], ctx.zip[base] = b"MZ", True, {}
        return ctx, base

    def run_rebuild(self, ctx, base, dependencies=(), deadline=None):
        recorded = ("a" * 40, contract.arch("win64")["preset"], list(dependencies))
        rebuild.check(base, "win64", recorded, ctx, deadline or limits.Deadline(60, "the rebuild"))
        return support.lines(ctx.report)

    def test_rows(self):
        rows = [
            # (what is planted, a dpkg-query, an osslsigncode, the checks' deadline spent, the rebuild's, words)
            ("dpkg-query that cannot answer", "exit 2\n", "exit 0\n", False, 60,
             "dpkg-query could not be asked (status 2)"),
            ("a package not installed", "echo 'dpkg-query: no packages found' >&2; exit 1\n", "exit 0\n", False, 60,
             "recorded 1.0, here not installed"),
            ("remove-signature failing", "printf 1.0\n", "exit 1\n", False, 60,
             "osslsigncode remove-signature failed (status 1)"),
            ("the checks' time spent: the rebuild's own budget still serves", "printf 1.0\n", "exit 1\n", True, 60,
             "osslsigncode remove-signature failed (status 1)"),
            ("the rebuild's own time spent", "printf 1.0\n", "exit 0\n", False, 0,
             "dpkg-query could not be asked (status 124)"),
        ]
        for what, dpkg, ossl, checks_spent, seconds, words in rows:
            with self.subTest(what):
                self.tool("dpkg-query", dpkg)
                self.tool("osslsigncode", ossl)
                ctx, base = self.context()
                if checks_spent:
                    ctx.limits.checks.end = 0
                lines = self.run_rebuild(ctx, base, [("gcc", "amd64", "1.0")], limits.Deadline(seconds, "the rebuild"))
                self.assertTrue(any(words in line and line.startswith("FAIL") for line in lines), lines)


if __name__ == "__main__":
    unittest.main()
