"""Interpreter exit while daemon threads are inside messaging: blocked in requests, timing
out in loops, reading through proxies, or waiting for a messaging lock. Each case runs in
fresh interpreters, several times, and every run must exit cleanly."""
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNS = 8
PARALLEL = 2

PRELUDE = """
import itertools, queue, random, threading, time
from quorvel_master.python_server.quorvel import proxwire as pw
m = pw.messaging

def daemon(target, *args):
    threading.Thread(target=target, args=args, daemon=True).start()

def answer_on_listeners(answer, listeners=2):
    # The kernel's side: envelopes queued by the send handler, answered on daemon threads.
    pending = queue.Queue()
    m.set_send_handler(pending.put)
    def listen():
        while True:
            env = pending.get()
            response = answer(env)
            if response is not None:
                m.on_message({"requestId": env["requestId"], **response})
    for _ in range(listeners):
        daemon(listen)
"""

# Each script ends while its threads are busy; the interpreter then finalises under them.
CASES = {
    "blocked_in_requests": """
        answer_on_listeners(lambda env: {"ok": True, "result": None})
        def work():
            while True:
                m.send_request_sync({"method": "GET", "name": "x", "caller": 1})
        for _ in range(6):
            daemon(work)
        time.sleep(0.1 + random.random() * 0.1)
    """,
    "request_loops_with_timeouts": """
        m.set_send_handler(lambda env: None)
        def work():
            while True:
                try:
                    m.send_request_sync({"method": "GET", "name": "x", "caller": 1}, timeout=0.001)
                except TimeoutError:
                    pass
        for _ in range(8):
            daemon(work)
        time.sleep(0.1 + random.random() * 0.1)
    """,
    "proxies": """
        ids = itertools.count(100)
        def answer(env):
            if env["method"] == "DEL":
                return None
            if random.random() < 0.2:
                return {"ok": False, "error": {"message": "no such item"}}
            return {"ok": True, "result": {"type": "Range", "value": next(ids), "isSpec": True}}
        answer_on_listeners(answer)
        def work():
            while True:
                try:
                    pw.Excel.workbook.worksheets.getItem("Sheet1").name
                except Exception:
                    pass
        for _ in range(4):
            daemon(work)
        time.sleep(0.1 + random.random() * 0.1)
    """,
    "waiting_for_messaging_locks": """
        m.set_send_handler(lambda env: None)
        def hold(lock):
            while True:
                with lock:
                    time.sleep(0.002)
        def request():
            while True:
                try:
                    m.send_request_sync({"method": "GET", "name": "x", "caller": 1}, timeout=0.001)
                except TimeoutError:
                    pass
        def register():
            while True:
                m.unregister_callable(m.register_callable(print))
        daemon(hold, m._waiters_lock)
        daemon(hold, m._callable_lock)
        for target in (request, request, request, register, register):
            daemon(target)
        time.sleep(0.1 + random.random() * 0.1)
        # Every worker queues up behind the main thread, which lets them go as it exits.
        m._waiters_lock.acquire()
        time.sleep(0.05)
        m._waiters_lock.release()
    """,
}


def run_repeatedly(body, runs=RUNS, timeout=60):
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
def test_exit_with_daemon_threads_inside_messaging(case):
    failures = run_repeatedly(CASES[case])
    assert not failures, f"{len(failures)} of {RUNS} runs failed; first:\n{failures[0]}"
