"""Helpers both test packages share: code run in fresh interpreters from the repository root,
once or many times over, and the allocated-blocks check that hunts reference leaks."""

import gc
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PARALLEL = 2  # fresh interpreters at once: the machine's cores are shared


def _python(code, env):
    return [sys.executable, "-c", code], dict(os.environ, PYTHONPATH=ROOT, **env)


def run_python(code, timeout=60, **env):
    """Runs code in a fresh interpreter from the repository root, with `env` added to the
    environment; returns the completed process with stdout and stderr as text."""
    args, full_env = _python(code, env)
    return subprocess.run(args, cwd=ROOT, env=full_env, capture_output=True, text=True,
                          timeout=timeout)


def run_repeatedly(code, runs, timeout, **env):
    """Runs code in `runs` fresh interpreters, PARALLEL at a time, with `env` added to the
    environment; returns the reports of the runs that hung, exited with a status other than 0
    or wrote a fatal error."""
    args, full_env = _python(code, env)
    failures = []
    for start in range(0, runs, PARALLEL):
        procs = [
            subprocess.Popen(args, cwd=ROOT, env=full_env, text=True,
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


def assert_no_leak(op, run, runs, warmup):
    """Runs op with a collection after each round: a warm-up, then runs of `run` rounds until
    one run leaves the allocated blocks (almost) where they were. The interpreter's free lists
    and caches fill during the warm-up and the first runs and then stop; a leak grows in every
    run, so it never passes."""
    gc.collect()
    # Only what the rounds create is traversed from here on, so each collection is cheap.
    gc.freeze()
    growths = []
    try:
        for _ in range(warmup):
            op()
            gc.collect()
        for _ in range(runs):
            before = sys.getallocatedblocks()
            for _ in range(run):
                op()
                gc.collect()
            growths.append(sys.getallocatedblocks() - before)
            if growths[-1] < run * 0.1:
                return
    finally:
        gc.unfreeze()
    pytest.fail(f"allocated blocks grew in every run of {run} rounds: {growths}")
