#!/usr/bin/python3
"""scripts/check-doc-links on small trees: each row a tree of pages and files, and exactly
the broken targets the check must name (none for a good tree)."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "scripts",
                     "check-doc-links")

# Every tree also holds these, so that a row only names what it is about.
BASE = {
    "README.md": "# Title\n",
    "SECURITY.md": "# Security\n",
    "scripts/tool.sh": "",
    "docs/guide.md": "# Guide\n\n## Signing, with a `token`: PINs & keys\n\n"
                     "## Same\n\n## Same\n\n```\n## Not a heading\n```\n",
    "release/notes.txt": "",
}

CASES = [
    ("good links and anchors",
     {"README.md": "# Title\n[g](docs/guide.md)\n"
                   "[s](docs/guide.md#signing-with-a-token-pins--keys)\n"
                   "[d](docs/guide.md#same-1) [f](docs/) [t](release/notes.txt#L3)\n"
                   "[u](https://example.invalid/x.md) [m](mailto:a@b.invalid) [self](#title)\n"
                   "[ref]: docs/guide.md#same\n"},
     []),
    ("a link to a missing file",
     {"README.md": "# Title\n\nsee [it](docs/gone.md).\n"},
     ["README.md:3: docs/gone.md (no such file)"]),
    ("an anchor that is no heading",
     {"README.md": "# Title\n[a](docs/guide.md#signing)\n[b](docs/guide.md#same-2)\n"},
     ["README.md:2: docs/guide.md#signing (no such heading)",
      "README.md:3: docs/guide.md#same-2 (no such heading)"]),
    ("a heading inside a code block is no anchor",
     {"README.md": "# Title\n[a](docs/guide.md#not-a-heading)\n"},
     ["README.md:2: docs/guide.md#not-a-heading (no such heading)"]),
    ("a same-page anchor",
     {"README.md": "# Title\n[a](#title) [b](#gone)\n"},
     ["README.md:2: #gone (no such heading)"]),
    ("links from docs/ are relative to docs/",
     {"docs/a.md": "# A\n[ok](../README.md#title) [ok](guide.md#same) [bad](README.md)\n"},
     ["docs/a.md:2: README.md (no such file)"]),
    ("a link and a code span across lines",
     {"README.md": "# Title\n\nsee [the\nguide](docs/gone.md) and `scripts/tool.sh\n"
                   "scripts/gone.sh`.\n- [a](docs/guide.md#same)\n- [b](#gone)\n"},
     ["README.md:4: docs/gone.md (no such file)",
      "README.md:5: scripts/gone.sh (no such path in the tree)",
      "README.md:7: #gone (no such heading)"]),
    ("a reference definition",
     {"README.md": "# Title\n\n[ref]: docs/gone.md\n"},
     ["README.md:3: docs/gone.md (no such file)"]),
    ("links leaving the tree",
     {"README.md": "# Title\n[a](../../etc/passwd) [b](/etc/passwd)\n"},
     ["README.md:2: ../../etc/passwd (outside the tree)",
      "README.md:2: /etc/passwd (an absolute path)"]),
    ("a link inside code is not followed",
     {"README.md": "# Title\n`[a](gone.md)`\n```\n[b](gone.md)\n```\n"},
     []),
    ("repository paths in code",
     {"README.md": "# Title\nRun `scripts/tool.sh`, then `scripts/renamed.sh --all`.\n\n```\n"
                   "cmake -DX=release/notes.txt && app/main.cpp\n```\n"
                   "~~~\nscripts/tool.sh: tests/gone/\n~~~\n"},
     ["README.md:2: scripts/renamed.sh (no such path in the tree)",
      "README.md:5: app/main.cpp (no such path in the tree)",
      "README.md:8: tests/gone/ (no such path in the tree)"]),
    ("top-level files in code",
     {"README.md": "# Title\n`SECURITY.md`, `CMakeLists.txt` and `LICENSE`.\n"},
     ["README.md:2: CMakeLists.txt (no such path in the tree)",
      "README.md:2: LICENSE (no such path in the tree)"]),
    ("placeholders, build trees, other roots and prose are not paths",
     {"README.md": "# Title\n`build/host/x` `release/<version>/` `tests/NAME/a` `scripts/*.sh`\n"
                   "`docs/.../x` `$root/scripts/x` `/usr/scripts/x`\n"
                   "`build/windows-x64/toolchain/`\n"
                   "`cmake/{a,b}.cmake` `src/app/x` scripts/gone.sh in prose\n"},
     []),
    ("a path that climbs out of the tree",
     {"README.md": "# Title\n`scripts/../../outside`\n"},
     ["README.md:2: scripts/../../outside (no such path in the tree)"]),
    ("a code span holding backticks",
     {"README.md": "# Title\n`` `scripts/gone.sh` `` and ``scripts/tool.sh``\n"},
     ["README.md:2: scripts/gone.sh (no such path in the tree)"]),
    ("a missing front page, and one that is not text",
     {"README.md": None, "docs/bad.md": b"# Bad \xff\n"},
     ["README.md: README.md (no such page)", "docs/bad.md: docs/bad.md (not UTF-8 text)"]),
    ("a link by reference: named once, where it is defined",
     {"README.md": "# Title\n\nsee [it][ref], [again][ref] and [ref].\n\n[ref]: docs/gone.md\n"},
     ["README.md:5: docs/gone.md (no such file)"]),
    ("an underlined heading is an anchor; an indented block is code",
     {"README.md": "# Title\n\nSub\n---\n\n[a](#sub) [b](#sub-1)\n\n    scripts/gone.sh\n"},
     ["README.md:6: #sub-1 (no such heading)", "README.md:8: scripts/gone.sh (no such path in the tree)"]),
]


def make_tree(root, files):
    for name, text in {**BASE, **files}.items():
        if text is None:
            continue
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(text if isinstance(text, bytes) else text.encode("utf-8"))


class DocLinks(unittest.TestCase):
    def test_cases(self):
        for name, files, want in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                make_tree(root, files)
                run = subprocess.run([sys.executable, CHECK, "--root", root],
                                     capture_output=True, text=True, timeout=30, check=False)
                lines = run.stdout.splitlines()
                self.assertEqual(lines[:-1], want, "the broken targets named")
                self.assertRegex((lines[-1:] or [""])[0], "^doc links:.* %d broken$" % len(want))
                self.assertEqual(run.returncode, 1 if want else 0, "status")
                self.assertEqual(run.stderr, "")


if __name__ == "__main__":
    unittest.main()
