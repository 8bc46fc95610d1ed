"""What one run may spend, made once in main and handed to every check: a release's files
are tens of KiB, so these leave ample room and still keep a hostile folder from filling
memory, the disk or the clock."""
import resource
import time

MiB = 1 << 20


class Deadline:
    """A clock that starts when it is made: the checks' own, or the rebuild's."""

    def __init__(self, seconds, what):
        self.seconds, self.what = seconds, what
        self.end = time.monotonic() + seconds

    def left(self):
        return self.end - time.monotonic()

    def spent(self):
        return self.left() <= 0


class Limits:
    # DIR as it is read: every file held in memory, so bounded one by one and in all.
    file = 64 * MiB
    total = 128 * MiB
    entries = 2000            # files and folders under DIR
    depth = 8
    # What the packages expand into. A release's ZIP has a folder and its four files, so a
    # ZIP whose end record counts more entries than this is refused before it is parsed.
    zip_entries = 16
    member = 16 * MiB         # one ZIP member or MSI file, inflated
    inflated = 256 * MiB      # all ZIPs' and MSIs' members, inflated, in one run
    # Records, near their real sizes (an SBOM of about 12 KiB and a provenance of about 21
    # KiB for win64; the envelope and its bundle hold the provenance in base64): a parsed
    # JSON object costs far more memory than its text.
    record = {"sbom": 256 << 10, "provenance": 256 << 10, "envelope": 512 << 10, "bundle": 512 << 10,
              "manifest": 64 << 10, "sums": 64 << 10, "checksum": 4 << 10}
    json_depth = 64
    # The whole process: its address space, which bounds what any input can expand into.
    memory = 512 * MiB
    # Time: the checks, one tool, and the rebuild's own budget (a build's).
    seconds = 100
    tool_seconds = 60
    rebuild_seconds = 3600
    # The MSI reader (libmsi, C code reading an attacker's file) runs in a child of its own.
    msi_cpu_seconds = 20
    msi_seconds = 30
    msi_memory = 384 * MiB
    msi_answer = 16 * MiB     # the tables as data, back from the child
    # What a tool may print, and write, before it is cut off.
    tool_output = 1 * MiB
    tool_memory = 1024 * MiB

    def __init__(self):
        self.checks = None     # the checks' Deadline, started by start()
        self.inflated_so_far = 0

    def start(self):
        self.checks = Deadline(self.seconds, "the checks")
        return self

    def cap_memory(self):
        """The process's own address space: soft, so that a rebuild's tools get theirs back."""
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        cap = self.memory if hard == resource.RLIM_INFINITY else min(self.memory, hard)
        if soft == resource.RLIM_INFINITY or soft > cap:
            resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
