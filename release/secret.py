#!/usr/bin/python3
"""The signing secrets (a token's PIN, a PKCS#12 file's password): read once, and handed
only to what signs. scripts/release.sh and release/sign.sh both read them through here.

usage: secret.py PROGRAM pin [PATH]
         prints a token's PIN: the one line the file or pipe PATH holds
         (DORVANE_SIGN_PIN_FILE), else (PATH empty or not given) what its standard input
         gives (DORVANE_SIGN_PIN), which must not be empty; its standard input is read
         either way
       secret.py PROGRAM serve PARENT_PID NAME...
         the agent: holds the secrets it reads from its standard input (pairs of
         "pin"/"password" and the value, each ended by a NUL) and gives each, while the
         process PARENT_PID lives, to the signing step alone: a descendant of PARENT_PID,
         this user's, that is Debian's python running this file's "sign.sh ask", started by
         bash running release/sign.sh beside this file, with none of bash's start-up hooks
         in its environment; it listens on the abstract sockets NAME... and prints "ready"
         once it does
       secret.py PROGRAM ask NAME pin|password
         prints what the agent at NAME holds; status 3 when no agent listens there, 4 when it
         holds nothing of that kind, 5 (and why) when it refuses the asking process
Messages are one line each, "PROGRAM: ...", and the status is then 1 (5 for a refused "ask").
"""
import ctypes
import os
import select
import signal
import socket
import stat
import struct
import sys
import time

BOUND = 30          # seconds a pipe may take to give its line
MAX_SECRET = 4096   # bytes of a PIN or password, newline included
SETTLE = 0.2        # seconds to wait, after a line, for more than one


class Refused(Exception):
    pass


def read_file(path, what):
    """The one line the regular file or pipe PATH holds, without its newline (which is
    optional). A pipe is read within BOUND seconds, however its writer behaves."""
    label = f"the {what} file '{path}'"
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except FileNotFoundError:
        raise Refused(f"{label} does not exist (DORVANE_SIGN_PIN_FILE names it)")
    except OSError as error:
        raise Refused(f"cannot read {label}: {error.strerror}")
    try:
        info = os.fstat(fd)
        pipe = stat.S_ISFIFO(info.st_mode)
        if pipe:
            label = f"the {what} pipe '{path}'"
        elif not stat.S_ISREG(info.st_mode):
            raise Refused(f"{label} is neither a regular file nor a pipe")
        # Any access for group or others, not only reading: one who may write it may replace it.
        if info.st_mode & 0o077:
            raise Refused(f"group or others may use {label} (mode {stat.S_IMODE(info.st_mode):o}): chmod 600 '{path}'")
        if info.st_uid != os.geteuid():
            raise Refused(f"{label} belongs to another user (uid {info.st_uid})")
        data = read_bounded(fd, pipe, label)
    finally:
        os.close(fd)
    if b"\0" in data:
        raise Refused(f"{label} holds a NUL byte")
    if data.endswith(b"\n"):
        data = data[:-1]
    if data.endswith(b"\r"):
        data = data[:-1]
    if b"\n" in data:
        raise Refused(f"{label} holds more than one line: write the {what} alone")
    if not data:
        if pipe:
            raise Refused(f"{label} gave no {what} (a pipe serves one reading: for several builds give a file)")
        raise Refused(f"{label} is empty: write the {what} into it")
    return data


def pin(path):
    """The PIN of the file or pipe PATH, before the value given on standard input, which is
    read all the same: whoever writes it there sees no broken pipe."""
    given = sys.stdin.buffer.read(MAX_SECRET + 1)
    if path:
        return read_file(path, "PIN")
    if len(given) > MAX_SECRET:
        raise Refused(f"DORVANE_SIGN_PIN holds more than {MAX_SECRET} bytes")
    if not given:
        raise Refused("DORVANE_SIGN_PIN is empty: set it (or DORVANE_SIGN_PIN_FILE) to the token's PIN")
    return given


def read_bounded(fd, pipe, label):
    """What FD gives until its end, or (a pipe whose writer keeps it open) until a line and a
    pause after it; at most MAX_SECRET bytes and BOUND seconds."""
    data = b""
    deadline = time.monotonic() + BOUND
    settled = None  # when the pause after the first line ends
    while True:
        if settled is None and b"\n" in data:
            settled = time.monotonic() + SETTLE
        left = min(deadline, settled or deadline) - time.monotonic()
        if left <= 0:
            if b"\n" in data:
                return data
            if data:
                raise Refused(f"{label} gave no whole line within {BOUND} s (its writer keeps it open)")
            raise Refused(f"nothing came through {label} within {BOUND} s"
                          + (" (a pipe serves one reading: for several builds give a file)" if pipe else ""))
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(fd, MAX_SECRET + 1 - len(data))
        except BlockingIOError:
            continue
        if chunk:
            data += chunk
            if len(data) > MAX_SECRET:
                raise Refused(f"{label} holds more than {MAX_SECRET} bytes")
        elif data or not pipe:
            return data
        else:
            # A pipe nobody has opened for writing yet reads as ended: wait for a writer.
            time.sleep(0.05)


HERE = os.path.dirname(os.path.realpath(__file__))
PYTHON = os.path.realpath("/usr/bin/python3")
BASH = os.path.realpath("/bin/bash")
# What a bash runs before its script, or how it runs the script's commands (xtrace would
# print the secret), from its environment.
HOOKS = (b"BASH_ENV=", b"SHELLOPTS=", b"BASHOPTS=", b"BASH_FUNC_")


def parent_of(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        return int(f.read().rsplit(b")", 1)[1].split()[1])


def running(pid):
    """The executable PID runs, and its arguments."""
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        return os.readlink(f"/proc/{pid}/exe"), f.read().split(b"\0")[:-1]


def script(pid, argument):
    """The file ARGUMENT of PID's command line names, resolved from PID's folder."""
    return os.path.realpath(os.path.join(f"/proc/{pid}/cwd", os.fsdecode(argument)))


def refusal(connection, parent):
    """Why the process at the other end is not the signing step of this run, or None."""
    pid, uid, _ = struct.unpack("3i", connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                                              struct.calcsize("3i")))
    if uid != os.geteuid():
        return "another user asked"
    try:
        exe, argv = running(pid)
        if exe != PYTHON or len(argv) != 6 or argv[2:4] != [b"sign.sh", b"ask"] \
                or script(pid, argv[1]) != os.path.join(HERE, "secret.py"):
            return f"it is not Debian's python running {HERE}/secret.py for sign.sh"
        step = parent_of(pid)
        exe, argv = running(step)
        if exe != BASH or len(argv) < 2 or script(step, argv[1]) != os.path.join(HERE, "sign.sh"):
            return f"it was not started by bash running {HERE}/sign.sh"
        with open(f"/proc/{step}/environ", "rb") as f:
            hooks = sorted({v.split(b"=")[0].decode(errors="replace") for v in f.read().split(b"\0") if v.startswith(HOOKS)})
        if hooks:
            return f"sign.sh was started with {', '.join(hooks)} in its environment"
        for _ in range(64):
            if pid == parent:
                return None
            if pid <= 1:
                break
            pid = parent_of(pid)
    except (OSError, ValueError, IndexError):
        return "the asking process could not be read"
    return "the asking process is not of this run"


def serve(parent, names):
    # Gone with the run that started it, however that run ends (kill -9 included).
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    # Nor can this user's other processes read the secrets out of its memory or environment.
    libc.prctl(4, 0)  # PR_SET_DUMPABLE
    if os.getppid() != parent:
        sys.exit(0)
    fields = sys.stdin.buffer.read(2 * (MAX_SECRET + 16)).split(b"\0")
    secrets = dict(zip(fields[0:-1:2], fields[1::2]))
    listeners = []
    for name in names:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            listener.bind("\0" + name)
        except OSError:
            raise Refused("another run is signing in this build tree (its signing agent is there)")
        listener.listen(8)
        listeners.append(listener)
    print("ready", flush=True)
    sys.stdout.close()
    while True:
        ready, _, _ = select.select(listeners, [], [])
        for listener in ready:
            connection, _ = listener.accept()
            with connection:
                connection.settimeout(5)
                try:
                    asked = connection.recv(64).strip()
                    why = refusal(connection, parent)
                    # (A refusal starts with a NUL, which no secret holds.)
                    connection.sendall(b"\0" + why.encode() if why else secrets.get(asked, b""))
                except OSError:
                    pass


def ask(name, what):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.settimeout(BOUND)
    try:
        client.connect("\0" + name)
    except OSError:
        sys.exit(3)
    with client:
        client.sendall(what.encode() + b"\n")
        client.shutdown(socket.SHUT_WR)
        data = b""
        while len(data) <= MAX_SECRET:
            chunk = client.recv(MAX_SECRET + 1)
            if not chunk:
                break
            data += chunk
    if not data:
        sys.exit(4)
    if data.startswith(b"\0"):
        raise Refused("release.sh's signing agent gives the secrets to its own signing steps only: "
                      + data[1:MAX_SECRET].decode(errors="replace"))
    sys.stdout.buffer.write(data + b"\n")


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    program, command, args = argv[1], argv[2], argv[3:]
    try:
        if command == "pin" and len(args) <= 1:
            sys.stdout.buffer.write(pin(args[0] if args else "") + b"\n")
        elif command == "serve" and len(args) >= 2:
            serve(int(args[0]), args[1:])
        elif command == "ask" and len(args) == 2:
            ask(args[0], args[1])
        else:
            sys.exit(__doc__)
    except Refused as refused:
        print(f"{program}: {refused}", file=sys.stderr)
        sys.exit(5 if command == "ask" else 1)


if __name__ == "__main__":
    main(sys.argv)
