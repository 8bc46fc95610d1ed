"""Results as objects: every check with its name, verdict and reason; notes; what could not
be checked. The text report prints each as it comes (a rebuild takes minutes); --json writes
them all at the end, with the json library."""
import json
import re
import sys

OK, FAIL, NOTE = "ok", "fail", "note"


class Refused(Exception):
    """A file or value the verifier will not use; its text says why."""


def q(value):
    """A value from DIR, quoted, one line, control characters escaped."""
    text = json.dumps(value, ensure_ascii=True, default=str)
    return text if len(text) <= 200 else text[:200] + '..."'


def show(name):
    """A file name: as it is when plain, else quoted."""
    return name if re.fullmatch(r"[A-Za-z0-9_+][A-Za-z0-9._+/-]*", name or "") else q(name)


class Result:
    __slots__ = ("name", "verdict", "reason")

    def __init__(self, name, verdict, reason=""):
        self.name, self.verdict, self.reason = name, verdict, reason

    def text(self):
        if self.verdict == OK:
            return f"ok   {self.name}"
        if self.verdict == FAIL:
            return f"FAIL {self.name}: {self.reason}"
        return f"     {self.name}"

    def data(self):
        found = {"name": self.name, "verdict": self.verdict}
        if self.reason:
            found["reason"] = self.reason
        return found


class Report:
    def __init__(self, out=None):
        self.results = []
        self.out = out          # a text stream each result is printed to as it comes, or None
        self.signers = set()    # subjects of the certificates whose signatures verified
        self.unchecked = []     # checks this machine could not make, named
        self.facts = {}         # what the closing line may say, set by the checks that made it so

    @property
    def passed(self):
        return sum(result.verdict == OK for result in self.results)

    @property
    def failed(self):
        return sum(result.verdict == FAIL for result in self.results)

    def _add(self, result):
        self.results.append(result)
        if self.out is not None:
            print(result.text(), file=self.out, flush=True)

    def check(self, name, why=""):
        self._add(Result(name, FAIL if why else OK, why))
        return not why

    def note(self, text):
        self._add(Result(text, NOTE))

    def text_end(self, proved):
        if self.out is not None:
            print(proved, file=self.out, flush=True)
            print(f"{self.passed} passed, {self.failed} failed", file=self.out, flush=True)

    def json_end(self, proved, status):
        document = {"checks": [result.data() for result in self.results], "proved": proved, "facts": self.facts,
                    "unchecked": self.unchecked, "passed": self.passed, "failed": self.failed, "status": status}
        json.dump(document, sys.stdout, indent=1, ensure_ascii=True, sort_keys=True)
        sys.stdout.write("\n")
        sys.stdout.flush()
