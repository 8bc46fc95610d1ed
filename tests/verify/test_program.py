"""The verifier as a user runs it: the one file and scripts/verify-release import nothing from
beside themselves, the working folder, DIR or PYTHON* variables; --json is one document;
the one file is the same bytes from two copies of the sources; the rebuild has a budget of
its own and says which step it could not run."""
import contextlib
import hashlib
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback
import types
import unittest
import unittest.mock

import support

from verify import cli, contract, folder as folder_module, limits, rebuild
from verify import report as report_module, tools as tools_module

PACKER = os.path.join(support.SOURCE, "release", "pack_verifier.py")
BASE = contract.package("1.0.0", "win64")
PACKED = {}  # the one file, packed once for the whole run: packing is the slow part


def setUpModule():
    PACKED["dir"] = tempfile.mkdtemp(prefix="verify-test-packed.")
    PACKED["one"] = os.path.join(PACKED["dir"], "alone", "verify-release")
    os.makedirs(os.path.dirname(PACKED["one"]))
    subprocess.run([sys.executable, "-I", PACKER, support.SOURCE, PACKED["one"]], check=True)


def tearDownModule():
    shutil.rmtree(PACKED.pop("dir"), ignore_errors=True)


def pack_of(source):
    """What pack_verifier.py makes of SOURCE, in this process."""
    spec = importlib.util.spec_from_file_location("pack_verifier", os.path.join(source, "release", "pack_verifier.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.pack(source)


def copy_sources(into):
    """What the one file and scripts/verify-release are made of, at another path."""
    for part in ("release/verify", "scripts"):
        shutil.copytree(os.path.join(support.SOURCE, part), os.path.join(into, part),
                        ignore=shutil.ignore_patterns("__pycache__"))
    for part in ("release/contract.json", "release/pack_verifier.py"):
        shutil.copy(os.path.join(support.SOURCE, part), os.path.join(into, part))


def plant(folder, marker):
    """json.py, pefile.py and an asn1crypto/ package in FOLDER, each writing its own path to
    MARKER if imported."""
    code = f"open({marker!r}, 'a').write(__file__ + '\\n')\n"
    os.makedirs(os.path.join(folder, "asn1crypto"), exist_ok=True)
    for name in ("json.py", "pefile.py", "asn1crypto/__init__.py"):
        with open(os.path.join(folder, name), "w") as handle:
            handle.write(code)


def unplant(folder):
    shutil.rmtree(os.path.join(folder, "asn1crypto"))
    for name in ("json.py", "pefile.py"):
        os.remove(os.path.join(folder, name))


class Isolation(support.Scratch):
    def test_nothing_planted_runs(self):
        copy_sources(self.path("checkout"))
        one, script = PACKED["one"], self.path("checkout", "scripts", "verify-release")
        marker, checked = self.path("ran"), os.path.dirname(self.write(f"dir/{BASE}.zip", b"not a zip"))
        # The plants work: an ordinary Python run from their folder imports them.
        plant(self.path("probe"), marker)
        subprocess.run([sys.executable, "-c", "import json"], cwd=self.path("probe"), check=True)
        self.assertTrue(os.path.exists(marker))
        os.remove(marker)
        # Every place planted at once (each plant names itself in the marker), each program
        # run both ways at once: the one file's own folder, the script's, beside the package,
        # the working folder, the folder checked, PYTHONPATH. Each says its verdict as one
        # JSON document.
        places = [os.path.dirname(one), os.path.dirname(script), self.path("checkout", "release"), self.path("cwd"),
                  checked, self.path("pythonpath")]
        for folder in places:
            plant(folder, marker)
        self.addCleanup(unplant, os.path.dirname(one))  # the others are in the test's own folder
        env = dict(os.environ, PYTHONPATH=self.path("pythonpath"))
        runs = [(how, subprocess.Popen(how + [checked, "--json"], cwd=self.path("cwd"), env=env,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
                for program in (one, script) for how in ([program], [sys.executable, program])]
        for how, process in runs:
            out, err = process.communicate(timeout=60)
            with self.subTest(how=how):
                self.assertEqual(process.returncode, 1, err)
                document = json.loads(out)
                self.assertEqual(document["status"], 1)
                self.assertEqual(document["failed"], sum(c["verdict"] == "fail" for c in document["checks"]))
                self.assertTrue(any(c["verdict"] == "fail" and c["name"] == f"{BASE}.zip has a checksum"
                                    and c["reason"] for c in document["checks"]), document["checks"])
                self.assertTrue(document["proved"].startswith("proved: nothing"))
        self.assertFalse(os.path.exists(marker), open(marker).read() if os.path.exists(marker) else "")


class OneFile(support.Scratch):
    def test_the_same_bytes_from_two_copies(self):
        made = []
        for copy in ("a", "b/deeper"):
            copy_sources(self.path(copy))
            made.append(pack_of(self.path(copy)))
        made.append(self.read(PACKED["one"]))
        self.assertEqual({hashlib.sha256(data).hexdigest() for data in made}, {hashlib.sha256(made[0]).hexdigest()})
        self.assertTrue(made[0].startswith(b"#!/usr/bin/python3 -I\n"))
        self.assertNotIn(self.tmp.encode(), made[0])
        self.assertEqual(os.stat(PACKED["one"]).st_mode & 0o777, 0o755)


def signalled_run(number, where, argv, scratch):
    """cli.main(ARGV) in a forked child that sends itself signal NUMBER at one point (WHERE):
    folder, once DIR is read; mkdtemp, while the temporary folder is made; tally, once the
    tally is printed; or, for pipe, writes its output to a pipe no one reads (head -1). Its
    temporary folder under SCRATCH/tmp; returns the child's pid and where its output and
    errors go."""
    out, err = os.path.join(scratch, "out"), os.path.join(scratch, "err")
    read, write = os.pipe()
    pid = os.fork()
    if pid:
        os.close(read)
        os.close(write)
        return pid, out, err
    status = 70
    try:
        os.close(read)
        sys.stdout = os.fdopen(write, "w", buffering=1) if where == "pipe" else open(out, "w", buffering=1)
        sys.stderr = open(err, "w", buffering=1)
        os.dup2(sys.stderr.fileno(), 2)
        tempfile.tempdir = os.path.join(scratch, "tmp")
        point = {"folder": (folder_module.Folder, "__init__"), "mkdtemp": (tempfile, "mkdtemp"),
                 "tally": (report_module.Report, "text_end"), "pipe": (tempfile, "mkdtemp")}[where]  # pipe: none sent
        original = getattr(*point)

        def sending(*args, **kwargs):
            if where == "mkdtemp":
                os.kill(os.getpid(), number)
            result = original(*args, **kwargs)
            if where in ("folder", "tally"):
                os.kill(os.getpid(), number)
            return result
        setattr(*point, sending)
        status = cli.main(argv)
    except BaseException:
        traceback.print_exc()
    finally:
        try:  # (a flush to a pipe no one reads may fail: the child ends here all the same)
            sys.stdout.flush()
            sys.stderr.flush()
        finally:
            os._exit(status)


class Signals(support.Scratch):
    def test_a_signal_at_any_point_leaves_nothing_and_the_status_is_what_was_printed(self):
        self.write(f"dir/{BASE}.zip", b"not a zip")
        # Every catchable signal whose default ends a process (SIGXCPU is what `ulimit -t` sends).
        rows = [(getattr(signal, name), "folder") for name in ("SIGHUP", "SIGINT", "SIGQUIT", "SIGTERM", "SIGUSR1",
                                                               "SIGUSR2", "SIGALRM", "SIGXCPU", "SIGXFSZ", "SIGPIPE")]
        rows += [(signal.SIGTERM, "tally"), (signal.SIGQUIT, "tally"), (signal.SIGINT, "mkdtemp"),
                 (signal.SIGPIPE, "pipe")]
        runs = []
        for number, where in rows:
            scratch = self.path(f"run-{int(number)}-{where}")
            os.makedirs(os.path.join(scratch, "tmp"))
            runs.append((number, where, scratch) + signalled_run(number, where, [self.path("dir")], scratch))
        for number, where, scratch, pid, out, err in runs:
            _, status = os.waitpid(pid, 0)
            out, err = self.read(out, "r") if os.path.exists(out) else "", self.read(err, "r")
            with self.subTest(signal=signal.Signals(number).name, where=where):
                self.assertTrue(os.WIFEXITED(status), f"ended by signal {os.WTERMSIG(status)}: {err}")
                self.assertEqual(os.listdir(os.path.join(scratch, "tmp")), [], "the temporary folder was left")
                self.assertNotIn("Traceback", err)
                if where == "tally":
                    # A tally printed is the tally kept: status 1 as "N failed" says.
                    self.assertRegex(out, r"\n[0-9]+ passed, [1-9][0-9]* failed\n$")
                    self.assertEqual(os.WEXITSTATUS(status), 1, err)
                else:
                    # Whoever reads the verdict stopped: the status is SIGPIPE's, with no traceback.
                    self.assertEqual(os.WEXITSTATUS(status), 128 + number, err)
                    self.assertTrue(where == "pipe" or f"stopped by {signal.Signals(number).name}; nothing was "
                                    "proved" in err, err)
                    self.assertNotRegex(out, "passed, .* failed")


    def test_a_signal_while_a_tool_starts_or_is_stopped_stops_the_tool(self):
        # It comes once the tool runs but before Popen has handed it over, or as run() is about
        # to kill the group of a tool that ran out of time: the run ends, and the tool with it.
        for where in ("Popen", "killpg"):
            with self.subTest(where=where):
                self.signalled_tool(where)

    def signalled_tool(self, where):
        class Stop(BaseException):
            pass

        def stop(number, frame):
            raise Stop()
        started, original, killpg, test = [], subprocess.Popen, os.killpg, self

        def stop_left(pid):
            with contextlib.suppress(ProcessLookupError):
                killpg(pid, signal.SIGKILL)

        class Signalling(original):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                started.append(self.pid)
                test.addCleanup(stop_left, self.pid)
                if where == "Popen":
                    os.kill(os.getpid(), signal.SIGTERM)

        def killing(pid, number):
            os.kill(os.getpid(), signal.SIGTERM)
            return killpg(pid, number)
        previous = signal.signal(signal.SIGTERM, stop)
        within = limits.Limits().start()
        within.tool_seconds = 0.5
        try:
            with (unittest.mock.patch.object(tools_module.subprocess, "Popen", Signalling),
                  unittest.mock.patch.object(tools_module.os, "killpg", killing if where == "killpg" else killpg),
                  self.assertRaises(Stop)):
                tools_module.Tools(self.tmp, within).run(["sleep", "60"])
        finally:
            signal.signal(signal.SIGTERM, previous)
        with self.assertRaises(ChildProcessError, msg="the tool was left running"):
            os.waitpid(started[0], os.WNOHANG)


class Rebuild(support.Scratch):
    def cmake(self, files=None, folder="package"):
        """A cmake whose build writes project.json, naming FOLDER, and FILES (name: bytes) there."""
        tree = "build/windows-x64"
        self.tool("cmake", f'[ "$1" != --build ] || {{ mkdir -p {tree}/{folder} && '
                  + f"""printf '{{"package": {{"folder": "{folder}"}}}}' >{tree}/project.json"""
                  + "".join(f" && printf {data.decode()} >{tree}/{folder}/{name}" for name, data in (files or {}).items())
                  + "; }\n")

    def setUp(self):
        super().setUp()
        self.enterContext(unittest.mock.patch.dict(os.environ, PATH=self.path("bin") + os.pathsep + os.environ["PATH"]))
        self.tool("git", 'case "$1" in clone) mkdir -p "$6" ;; esac\nexit 0\n')
        self.cmake()

    def test_rows(self):
        made = {BASE + ".zip": b"zip", BASE + ".msi": b"msi"}
        rows = [
            # (what is planted, the tools planted besides a dpkg-query saying 1.0 and an osslsigncode that works,
            #  the files an unsigned release's rebuild makes (None: a signed release), the checks' deadline spent,
            #  the rebuild's, the verdict and its words[, the package folder its project.json names])
            ("dpkg-query that cannot answer", {"dpkg-query": "exit 2\n"}, None, False, 60,
             "FAIL", "dpkg-query could not be asked (status 2)"),
            ("a package not installed", {"dpkg-query": "echo 'dpkg-query: no packages found' >&2; exit 1\n"}, None,
             False, 60, "FAIL", "recorded 1.0, here not installed"),
            # remove-signature failing, once the checks' own deadline has passed
            ("the checks' time spent: the rebuild's own budget still serves", {"osslsigncode": "exit 1\n"}, None, True,
             60, "FAIL", "osslsigncode remove-signature failed (status 1)"),
            ("the rebuild's own time spent", {}, None, False, 0, "FAIL", "dpkg-query could not be asked (status 124)"),
            # an unsigned release: each of its files against the one the rebuild's package step made
            ("another MSI", {}, dict(made, **{BASE + ".msi": b"other"}), False, 60,
             "FAIL", f"rebuilt, byte for byte: {BASE}.msi: differs from the rebuild's"),
            ("no MSI made", {}, {BASE + ".zip": b"zip"}, False, 60,
             "FAIL", f"rebuilt, byte for byte: {BASE}.msi: the rebuild made no"),
            ("another package folder", {}, made, False, 60, "ok", f"byte for byte: {BASE}.msi", "made"),
            ("a package folder outside the tree", {}, made, False, 60,
             "FAIL", f"{BASE}: the rebuild's project.json names its package folder", "../made"),
        ]
        self.tool("diffoscope", "exit 1\n")
        for what, tools, rebuilt, checks_spent, seconds, verdict, words, *folder in rows:
            with self.subTest(what):
                shutil.rmtree(os.path.join(self.tmp, "rebuild-" + "a" * 12), ignore_errors=True)  # a row's own tree
                for name, script in dict({"dpkg-query": "printf 1.0\n", "osslsigncode": "exit 0\n"}, **tools).items():
                    self.tool(name, script)
                self.cmake(rebuilt, *folder)
                ctx = support.context(self.tmp, exe={BASE: b"MZ"}, signed={BASE: rebuilt is None}, zip={BASE: {}},
                                      folder=types.SimpleNamespace(files=made))
                ctx.args.rebuild = "/nonexistent/source"
                if checks_spent:
                    ctx.limits.checks.end = 0
                recorded = ("a" * 40, contract.arch("win64")["preset"], [("gcc", "amd64", "1.0")])
                rebuild.check(BASE, "win64", recorded, ctx, limits.Deadline(seconds, "the rebuild"))
                lines = support.lines(ctx.report)
                self.assertTrue(any(line.startswith(verdict) and words in line for line in lines), lines)


if __name__ == "__main__":
    unittest.main()
