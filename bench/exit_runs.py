"""Exit cases run many times over: `python -m bench.exit_runs [runs]` runs every case of
tests/sensewell/test_exit.py in that many fresh interpreters (1000 by default) and prints,
per case, the runs that crashed, hung or left a module directory behind."""

import os
import sys
import tempfile
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests")]

import support  # noqa: E402
from sensewell.test_exit import CASES, PRELUDE  # noqa: E402


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    total = 0
    for case, (body, _) in CASES.items():
        with tempfile.TemporaryDirectory() as folder:
            failures = support.run_repeatedly(PRELUDE + textwrap.dedent(body), runs,
                                              timeout=120, TMPDIR=folder)
            left = len(os.listdir(folder))
        total += len(failures) + left
        print(f"{case}: {len(failures)} of {runs} runs failed, {left} directories left",
              flush=True)
        if failures:
            print(failures[0])
    sys.exit(1 if total else 0)


if __name__ == "__main__":
    main()
