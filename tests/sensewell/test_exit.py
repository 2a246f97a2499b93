"""Interpreter exit while daemon threads are inside the bridge: requests running jedi or
waiting for it, and warm-ups still running. Each case runs in fresh interpreters, several
times, and every run must exit cleanly."""
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PARALLEL = 2

PRELUDE = """
import random, threading, time
from quorvel_master.python_server import sensewell as sw
"""

# (script, runs): each script ends while its threads are busy, and the interpreter finalises
# under them.
CASES = {
    # Two threads per request method: one runs jedi, the others wait for the jedi lock.
    "requests_running_and_waiting_for_jedi": ("""
        bridge = sw.LSPBridge()
        code = "import os\\nos.path.join(\\nos."
        def work(method, line, column):
            while True:
                getattr(bridge, method)(code, line, column)
        requests = (("get_completions", 3, 3), ("get_hover", 2, 5), ("get_signature_help", 2, 13))
        for args in requests * 2:
            threading.Thread(target=work, args=args, daemon=True).start()
        time.sleep(0.3 + random.random() * 0.5)
    """, 10),
    # Two warm-ups at once, so one of them waits for the other's jedi run.
    "warmups_running": ("""
        bridges = [sw.LSPBridge(), sw.LSPBridge()]
        time.sleep(random.random() * 0.2)
    """, 6),
}


def run_repeatedly(body, runs, timeout=120):
    """Runs PRELUDE + body in `runs` fresh interpreters; returns the failed runs' reports."""
    code = PRELUDE + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=ROOT)
    failures = []
    for start in range(0, runs, PARALLEL):
        procs = [
            subprocess.Popen([sys.executable, "-c", code], cwd=ROOT, env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            for _ in range(min(PARALLEL, runs - start))
        ]
        for proc in procs:
            try:
                out, err = proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
                failures.append(f"hung\n{err}")
                continue
            if proc.returncode != 0 or "fatal" in err.lower():
                failures.append(f"exit {proc.returncode}\n{out}\n{err}")
    return failures


@pytest.mark.parametrize("case", list(CASES))
def test_exit_with_daemon_threads_inside_the_bridge(case):
    body, runs = CASES[case]
    failures = run_repeatedly(body, runs)
    assert not failures, f"{len(failures)} of {runs} runs failed; first:\n{failures[0]}"
