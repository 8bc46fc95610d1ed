"""The system tools the verifier runs: found only on PATH's absolute entries outside DIR,
run without a shell, each bounded in time, output, memory and what it may write, its whole
process group killed when it is done. Of what a tool says only its exit status is a
verdict; its text is shown, quoted, never read for one."""
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time

from .report import q

NOT_RUN = 124   # the status of a tool whose deadline came first
MISSING = 127

# Every catchable signal that ends a process by default: each one stops the run cleanly.
STOP_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGUSR1, signal.SIGUSR2,
                signal.SIGALRM, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGPIPE)


def system_path(folder, path):
    """PATH without what a user did not mean as a place for tools: the working folder (an
    empty or relative entry) and the folder being checked."""
    inside = os.path.realpath(folder)
    kept = [entry for entry in path.split(os.pathsep)
            if os.path.isabs(entry) and os.path.commonpath([inside, os.path.realpath(entry)]) != inside]
    return os.pathsep.join(kept)


def have(tool):
    return shutil.which(tool) is not None


# The first osslsigncode with every option the signature checks pass (-ignore-cdp,
# -ignore-crl, PEM CRLs): an older one would fail each check on an unknown option.
OSSLSIGNCODE = (2, 9)
OSSLSIGNCODE_NEEDED = "osslsigncode %d.%d or later" % OSSLSIGNCODE


def osslsigncode_usable(tools):
    """Whether this machine's osslsigncode is one the checks can use (OSSLSIGNCODE or later),
    as its own --version says."""
    if not have("osslsigncode"):
        return False
    _, text = tools.run(["osslsigncode", "--version"])
    found = re.match(r"osslsigncode (\d+)\.(\d+)", text)
    return found is not None and (int(found.group(1)), int(found.group(2))) >= OSSLSIGNCODE


class Tools:
    def __init__(self, work, limits):
        self.work, self.limits = work, limits

    def scratch(self, suffix):
        """A name, not yet taken, in the verifier's temporary folder (a folder of its own:
        the tools that write there will not overwrite a file)."""
        return os.path.join(tempfile.mkdtemp(dir=self.work), "file" + suffix)

    def write(self, suffix, data):
        path = self.scratch(suffix)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def run(self, argv, deadline=None, fsize=None, cwd=None, env=None, out_limit=None, memory=True):
        """(status, output). DEADLINE (the checks' unless given) bounds it with the per-tool
        limit; MEMORY False gives it the address space the verifier itself may not use (a
        rebuild's compilers)."""
        limits = self.limits
        deadline = deadline or limits.checks
        timeout = min(deadline.left(), limits.tool_seconds if deadline is limits.checks else deadline.left())
        if timeout <= 0:
            return NOT_RUN, f"(not run: {deadline.what}' {deadline.seconds} s are spent)"
        environment = dict(os.environ if env is None else env, TMPDIR=self.work)
        out_limit = out_limit or limits.tool_output

        def bounds():
            # The verifier's handlers go before the signals are let through: a signal between
            # here and exec ends the tool, as it would any running tool.
            for number in STOP_SIGNALS:
                signal.signal(number, signal.SIG_DFL)
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            want = limits.tool_memory if memory else hard
            if hard != resource.RLIM_INFINITY:
                want = min(want, hard)
            resource.setrlimit(resource.RLIMIT_AS, (want, hard))
            if fsize:
                resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
        with tempfile.TemporaryFile(dir=self.work) as log:
            # From before the tool starts until its group is killed and it is reaped, a signal
            # waits: one that ended the run in between left the tool running. It is delivered,
            # once, when the mask is put back. (The tool itself starts with the signals as they were.)
            held = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
            try:
                try:
                    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                               cwd=cwd, env=environment, start_new_session=True, preexec_fn=bounds)
                except OSError as error:
                    return MISSING, f"cannot run {argv[0]}: {error.strerror}"
                try:
                    status = wait_unless_stopped(process, timeout, held)
                finally:
                    try:
                        os.killpg(process.pid, signal.SIGKILL)
                    except (ProcessLookupError, PermissionError):
                        pass
                    process.wait()
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, held)
            log.seek(0)
            text = log.read(out_limit).decode("utf-8", "replace")
        if status is None:
            return NOT_RUN, text + f"\n(stopped after {int(timeout)} s)"
        return status, text


def wait_unless_stopped(process, timeout, held):
    """PROCESS's status; None once TIMEOUT has passed or a stop signal the caller had let
    through waits to be delivered."""
    stops = set(STOP_SIGNALS) - set(held)
    end = time.monotonic() + timeout
    while True:
        status = process.poll()
        if status is not None:
            return status
        if time.monotonic() >= end or stops & signal.sigpending():
            return None
        time.sleep(0.01)


def brief(text, lines=2):
    """A tool's complaint, for a FAIL line: its last lines, quoted."""
    kept = [line.strip() for line in text.splitlines() if line.strip()]
    kept = [line for line in kept if re.search(r"fail|error|mismatch|invalid", line, re.I)
            and not re.match(r"Number of verified|Failed$", line)][:lines] or kept[-lines:]
    return q(" / ".join(kept)[:300])
