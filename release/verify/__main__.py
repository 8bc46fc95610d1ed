"""The verifier's entry: the top of its one file (build/host/verify-release, a zipapp that
Python runs with -I) and `python3 -I -m verify` from release/. It imports nothing from
beside itself, the working folder or PYTHON* variables: run without -I, it runs itself
again with it before anything else is imported."""
import os
import sys

if not sys.flags.isolated:
    os.execv(sys.executable, [sys.executable, "-I"] + sys.argv)

from verify import cli  # noqa: E402 (only once isolated)

sys.exit(cli.main(sys.argv[1:]))
