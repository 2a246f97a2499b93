"""Interpreter exit while daemon threads are inside messaging: blocked in requests, timing
out in loops, reading through proxies, or waiting for a messaging lock. Each case runs in
fresh interpreters, several times, and every run must exit cleanly."""
import textwrap

import pytest

import support

# The sanitizer runtime misreads the stack of a thread parked mid-unwind (a false
# stack-buffer-underflow in its own sigaltstack handling), so these run in the plain build only.
pytestmark = pytest.mark.no_asan

RUNS = 8

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

def request_with_timeouts():
    # Nobody answers: every request times out at once, over and over.
    while True:
        try:
            m.send_request_sync({"method": "GET", "name": "x", "caller": 1}, timeout=0.001)
        except TimeoutError:
            pass
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
        for _ in range(8):
            daemon(request_with_timeouts)
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
        def register():
            while True:
                m.unregister_callable(m.register_callable(print))
        daemon(hold, m._waiters_lock)
        daemon(hold, m._callable_lock)
        for target in (request_with_timeouts,) * 3 + (register, register):
            daemon(target)
        time.sleep(0.1 + random.random() * 0.1)
        # Every worker queues up behind the main thread, which lets them go as it exits.
        m._waiters_lock.acquire()
        time.sleep(0.05)
        m._waiters_lock.release()
    """,
}


@pytest.mark.parametrize("case", list(CASES))
def test_exit_with_daemon_threads_inside_messaging(case):
    failures = support.run_repeatedly(PRELUDE + textwrap.dedent(CASES[case]), RUNS, timeout=60)
    assert not failures, f"{len(failures)} of {RUNS} runs failed; first:\n{failures[0]}"
