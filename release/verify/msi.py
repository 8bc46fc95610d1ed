"""An MSI's tables, summary information and stream names, read as data with libmsi (Debian's
gir1.2-libmsi-1.0), the library msitools is made of. Nothing is parsed from a tool's text.
read() reads in this process; read_bounded() reads an attacker's file in a child process of
its own, bounded in CPU time, memory and wall-clock time, and takes its answer back as data."""
import json
import os
import resource
import select
import signal
import time

try:
    import gi
    gi.require_version("Libmsi", "1.0")
    from gi.repository import GLib, Libmsi  # noqa: E402 (after the version is chosen)
    Error = GLib.Error
except (ImportError, ValueError):
    Libmsi = None

    class Error(Exception):
        pass


class Unreadable(Exception):
    """What read_bounded() could not read, and why: never a verdict on the file's content."""


def _rows(database, sql):
    query = Libmsi.Query.new(database, sql)
    query.execute(None)
    while True:
        record = query.fetch()
        if record is None:
            break
        yield query, record


def _table(database, name):
    query = Libmsi.Query.new(database, f"SELECT * FROM `{name}`")
    names = query.get_column_info(Libmsi.ColInfo.NAMES)
    types = query.get_column_info(Libmsi.ColInfo.TYPES)
    columns = [[names.get_string(i), types.get_string(i)] for i in range(1, names.get_field_count() + 1)]
    keys = database.get_primary_keys(name)
    rows = []
    query.execute(None)
    while True:
        record = query.fetch()
        if record is None:
            break
        row = []
        for i, (_, kind) in enumerate(columns, 1):
            if record.is_null(i):
                row.append(None)
            elif kind[0] in "iI":
                row.append(record.get_int(i))
            else:
                row.append(record.get_string(i))
        rows.append(row)
    return {"columns": columns, "keys": [keys.get_string(i) for i in range(1, keys.get_field_count() + 1)],
            "rows": rows}


def _summary(database):
    info = Libmsi.SummaryInfo.new(database, 0)
    found = {}
    for prop in info.get_properties():
        kind = info.get_property_type(prop)
        key = prop.value_nick.replace("-", "_")
        if kind == Libmsi.PropertyType.STRING:
            found[key] = info.get_string(prop)
        elif kind == Libmsi.PropertyType.INT:
            found[key] = info.get_int(prop)
        elif kind == Libmsi.PropertyType.FILETIME:
            found[key] = info.get_filetime(prop)
    return found


def read(path):
    """{"tables": {name: {"columns": [[name, type]], "keys": [...], "rows": [[...]]}},
    "summary": {field: value}, "streams": [names]}. Raises Error on what libmsi cannot read."""
    if Libmsi is None:
        raise Error("libmsi's Python bindings are not installed (Debian's python3-gi and gir1.2-libmsi-1.0)")
    database = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
    names = [record.get_string(1) for _, record in _rows(database, "SELECT `Name` FROM `_Tables`")]
    return {"tables": {name: _table(database, name) for name in names}, "summary": _summary(database),
            "streams": sorted(record.get_string(1) for _, record in _rows(database, "SELECT `Name` FROM `_Streams`"))}


def available():
    """Whether libmsi's bindings are here (Debian's python3-gi and gir1.2-libmsi-1.0)."""
    return Libmsi is not None


def read_bounded(path, cpu_seconds, memory, seconds, answer_limit, reader=None):
    """read(PATH) in a forked child: its CPU seconds and address space limited, its answer
    (JSON through a pipe, at most ANSWER_LIMIT bytes) awaited for SECONDS. A crash, a limit
    reached or an answer that is not data raises Unreadable naming what happened. READER
    stands in for read() (the tests' misbehaving readers)."""
    reader = reader or read
    readable, writable = os.pipe()
    # No signal between the fork and the child's own handlers: the parent's would run the
    # parent's clean-up in the child.
    held = signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
    pid = os.fork()
    if pid != 0:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
    if pid == 0:  # the child: nothing of the parent's clean-up may run here
        status = 3
        try:
            os.close(readable)
            for number in range(1, signal.NSIG):
                try:
                    signal.signal(number, signal.SIG_DFL)
                except (OSError, ValueError):
                    pass
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
            null = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            # Past the soft limit SIGXCPU ends it; the hard one, a second later, is the kernel's SIGKILL.
            resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds + 1))
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
            try:
                answer = {"read": reader(path)}
            except MemoryError:
                raise
            except Exception as error:  # libmsi's refusals: GLib errors, and NULL from a constructor
                answer = {"error": str(getattr(error, "message", error))[:300]}
            data = json.dumps(answer, ensure_ascii=True).encode()
            view = memoryview(data)
            while view:
                view = view[os.write(writable, view):]
            status = 0
        finally:
            os._exit(status)
    os.close(writable)
    chunks, size, end, over = [], 0, time.monotonic() + seconds, False
    try:
        while True:
            left = end - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([readable], [], [], left)
            if not ready:
                continue
            chunk = os.read(readable, 1 << 16)
            if not chunk:
                break
            size += len(chunk)
            if size > answer_limit:
                over = True
                break
            chunks.append(chunk)
    finally:
        os.close(readable)
        timed_out = time.monotonic() >= end
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        _, status = os.waitpid(pid, 0)
    if over:
        raise Unreadable(f"libmsi's answer grew past {answer_limit >> 20} MiB")
    if timed_out and not chunks:
        raise Unreadable(f"libmsi gave no answer within {seconds} s")
    if os.WIFSIGNALED(status) and not timed_out and (os.WTERMSIG(status) != signal.SIGKILL or not chunks):
        number = os.WTERMSIG(status)
        why = {signal.SIGXCPU: f"its {cpu_seconds} CPU seconds"}.get(number, "")
        raise Unreadable(f"libmsi stopped by {signal.Signals(number).name}" + (f" after {why}" if why else ""))
    if os.WIFEXITED(status) and os.WEXITSTATUS(status) != 0:
        raise Unreadable(f"libmsi's reader ended with status {os.WEXITSTATUS(status)} "
                         f"(out of its {memory >> 20} MiB, or it failed)")
    try:
        answer = json.loads(b"".join(chunks))
    except ValueError:
        raise Unreadable("libmsi's reader gave no whole answer (stopped, or out of time)")
    if "error" in answer:
        raise Unreadable(f"libmsi cannot read it: {answer['error']}")
    return answer["read"]
